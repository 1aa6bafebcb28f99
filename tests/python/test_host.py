"""Tests of the command-line host: manifest building, record decoding,
totals, and a full run over the bundled sample logs."""

import json
import os
import struct

import pytest

from ledgerly import host

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def _write(path, data=b"{}\n"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def test_manifest_from_folder_tree(tmp_path):
    root = str(tmp_path)
    _write(os.path.join(root, "events", "2025", "b.jsonl"), b"x" * 7)
    _write(os.path.join(root, "events", "2025", "a.jsonl"))
    _write(os.path.join(root, "messages", "shop", "c.jsonl"))
    _write(os.path.join(root, "messages", "shop", "subagents", "d.jsonl"))
    _write(os.path.join(root, "messages", "shop", "notes.txt"))
    os.mkfifo(os.path.join(root, "events", "pipe.jsonl"))
    # Folders named like the rule words only count as whole components.
    _write(os.path.join(root, "old-messages", "subagents-x", "e.jsonl"))

    # The overlapping second folder must not list a file twice.
    manifest = host.build_manifest([root, os.path.join(root, "messages")])

    rel = [os.path.relpath(e["path"], root) for e in manifest]
    assert rel == [
        "events/2025/a.jsonl",
        "events/2025/b.jsonl",
        "messages/shop/c.jsonl",
        "messages/shop/subagents/d.jsonl",
        "old-messages/subagents-x/e.jsonl",
    ]
    flags = [(e["source"], e["project"], e["sub"]) for e in manifest]
    assert flags == [(1, "2025", False), (1, "2025", False), (0, "shop", False), (0, "shop", True),
                     (1, "subagents-x", False)]
    b = manifest[1]
    st = os.stat(b["path"])
    assert list(b) == ["path", "size", "identity", "mtime_ns", "source", "project", "sub"]
    assert os.path.isabs(b["path"])
    assert (b["size"], b["identity"], b["mtime_ns"]) == (7, "%d:%d" % (st.st_dev, st.st_ino), st.st_mtime_ns)


def test_manifest_skips_names_that_are_not_utf8(tmp_path, capsys):
    _write(os.path.join(str(tmp_path), "ok.jsonl"))
    with open(os.path.join(os.fsencode(str(tmp_path)), b"bad-\xff.jsonl"), "wb"):
        pass
    manifest = host.build_manifest([str(tmp_path)])
    assert [os.path.basename(e["path"]) for e in manifest] == ["ok.jsonl"]
    assert "not UTF-8" in capsys.readouterr().err
    json.dumps(manifest).encode("utf-8")


def _record(ts, model, project, counts, kind=1, sub=0, tier=0):
    return struct.pack("<q5Q7q", ts, model, project, kind, sub, tier, *counts)


def test_decode_rows_reads_every_word():
    buf = _record(-500, 3, 2**64 - 1, (1, 2, 3, 4, 5, 6, 2**63 - 1), kind=255, sub=1, tier=4)
    assert len(buf) == 104
    assert list(host.decode_rows(buf)) == [(-500, 3, 2**64 - 1, 255, 1, 4, 1, 2, 3, 4, 5, 6, 2**63 - 1)]
    with pytest.raises(ValueError):
        list(host.decode_rows(buf + b"\0"))


def test_totals_group_by_model_and_project():
    report = {"models": ["m-a", "m-b"], "projects": ["/p", "/q"], "rows": 3}
    buf = (_record(1, 0, 0, (10, 1, 20, 2, 3, 4, 5))
           + _record(2, 1, 0, (100, 0, 200, 0, 0, 0, 0), kind=0)
           + _record(3, 0, 1, (1000, 10, 2000, 20, 30, 40, 50)))
    result = host.totals(report, buf)
    assert result["models"] == {
        "m-a": dict(rows=2, input=1010, cached_input=11, output=2020, reasoning_output=22,
                    cache_write_5m=33, cache_write_1h=44, cache_read=55),
        "m-b": dict(rows=1, input=100, cached_input=0, output=200, reasoning_output=0,
                    cache_write_5m=0, cache_write_1h=0, cache_read=0),
    }
    assert {k: v["rows"] for k, v in result["projects"].items()} == {"/p": 2, "/q": 1}
    assert result["projects"]["/p"]["input"] == 110
    table = host.format_table("model", result["models"]).splitlines()
    assert table[0].split()[:3] == ["model", "rows", "input"]
    assert table[-1].split()[:3] == ["total", "3", "1110"]
    with pytest.raises(ValueError):
        host.totals(dict(report, rows=2), buf)


def test_main_totals_for_the_sample_logs(capsys):
    assert host.main([EXAMPLES, "--workers", "2", "--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    fields = ("rows",) + host.TOKEN_FIELDS

    def row(*values):
        return dict(zip(fields, values))

    assert out["models"] == {
        "model-x": row(7, 33800, 21376, 1960, 700, 0, 0, 0),
        "mini-5-pro": row(2, 5300, 2304, 420, 150, 0, 0, 0),
        "alpha-4-5": row(4, 19, 0, 843, 0, 6400, 1400, 19800),
        "beta-3": row(2, 940, 0, 255, 0, 2100, 0, 2100),
    }
    assert out["projects"] == {
        "/home/dev/harbor": row(13, 32659, 20736, 2968, 650, 8500, 1400, 21900),
        "/home/dev/lantern": row(2, 7400, 2944, 510, 200, 0, 0, 0),
    }
    scan = out["scan"]
    assert (out["rows"], scan["scanned"], scan["malformed"], scan["inherited_events"],
            scan["duplicate_snapshots"], scan["pending_files"], scan["errors"]) == (15, 7, 1, 2, 1, 1, [])


def test_main_reports_a_log_that_vanished(tmp_path, monkeypatch, capsys):
    # The file is listed, then removed before the engine opens it.
    path = os.path.join(str(tmp_path), "gone.jsonl")
    _write(path)
    listed = host.build_manifest
    monkeypatch.setattr(host, "build_manifest", lambda folders: (listed(folders), os.remove(path))[0])
    assert host.main([str(tmp_path)]) == 1
    captured = capsys.readouterr()
    assert "errors 1" in captured.out
    assert path + ": " in captured.err


def test_main_rejects_a_missing_folder(tmp_path):
    with pytest.raises(SystemExit) as exc:
        host.main([os.path.join(str(tmp_path), "absent")])
    assert exc.value.code == 2
