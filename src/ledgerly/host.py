"""A small command-line host for the engine.

    python -m ledgerly [FOLDER ...] [--workers N] [--json]

It lists the ``*.jsonl`` session logs under the given folders, describes each
one in a manifest, runs one ``Engine.refresh`` over them, and sums the
returned 104-byte usage records per model and per project.

Each log's entry is derived from its absolute path alone:

- ``source`` is 0 (message dialect) when one of the file's folders is named
  ``messages``, otherwise 1 (event dialect);
- ``sub`` is true when one of the file's folders is named ``subagents``;
- ``project`` is the name of the nearest folder above the file that is not a
  ``subagents`` folder (the log's own working directory replaces it once the
  engine reads one).

Only the standard library is used.
"""

import argparse
import json
import os
import stat
import struct
import sys

# One usage record: timestamp, model index, project index, kind, subagent,
# tier, then seven token counts; 13 little-endian 64-bit words.
RECORD = struct.Struct("<q5Q7q")
TOKEN_FIELDS = (
    "input",
    "cached_input",
    "output",
    "reasoning_output",
    "cache_write_5m",
    "cache_write_1h",
    "cache_read",
)
MESSAGE_FOLDER = "messages"
SUBAGENT_FOLDER = "subagents"
LOG_SUFFIX = ".jsonl"


def _warn(text):
    print("ledgerly: " + text, file=sys.stderr)


def manifest_entry(path):
    """Returns the manifest record for the log at `path`, or None when it is
    not a regular file (a FIFO would block the reader) or cannot be stat'ed.
    `path` should be absolute: the dialect and flags come from its folders."""
    try:
        st = os.stat(path)
    except OSError as exc:
        _warn("skipped %s: %s" % (path, exc.strerror or exc))
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    folders = path.split(os.sep)[:-1]
    project = next((f for f in reversed(folders) if f and f != SUBAGENT_FOLDER), "")
    return {
        "path": path,
        "size": st.st_size,
        "identity": "%d:%d" % (st.st_dev, st.st_ino),
        "mtime_ns": st.st_mtime_ns,
        "source": 0 if MESSAGE_FOLDER in folders else 1,
        "project": project,
        "sub": SUBAGENT_FOLDER in folders,
    }


def _encodable(path):
    # The manifest is UTF-8 text; a file name holding undecodable bytes
    # (kept as lone surrogates by os) would make the whole refresh fail.
    try:
        path.encode("utf-8")
        return True
    except UnicodeEncodeError:
        _warn("skipped a file whose name is not UTF-8: %r" % path)
        return False


def find_logs(folders):
    """Yields the absolute paths of the ``*.jsonl`` files under `folders`
    (a named ``.jsonl`` file is taken as it is), sorted within each folder,
    each path once."""
    seen = set()

    def onerror(exc):
        _warn("cannot list %s: %s" % (exc.filename, exc.strerror or exc))

    for folder in folders:
        folder = os.path.abspath(folder)
        if os.path.isfile(folder):
            candidates = [folder]
        else:
            candidates = []
            for root, dirs, files in os.walk(folder, onerror=onerror):
                dirs.sort()
                candidates.extend(
                    os.path.join(root, name) for name in sorted(files) if name.endswith(LOG_SUFFIX)
                )
        for path in candidates:
            if path not in seen and _encodable(path):
                seen.add(path)
                yield path


def build_manifest(folders):
    """The manifest records (dicts in field order) for the logs under `folders`."""
    entries = (manifest_entry(path) for path in find_logs(folders))
    return [entry for entry in entries if entry is not None]


def decode_rows(buf):
    """Yields one 13-tuple per 104-byte record of the row buffer `buf`."""
    if len(buf) % RECORD.size:
        raise ValueError("row buffer length %d is not a multiple of %d" % (len(buf), RECORD.size))
    return RECORD.iter_unpack(buf)


def _empty_group():
    group = {"rows": 0}
    group.update((name, 0) for name in TOKEN_FIELDS)
    return group


def totals(report, buf):
    """Sums the records of `buf` per model and per project.

    `report` is the decoded report text of the refresh that returned `buf`
    (its "models" and "projects" tables name the records' indexes). Returns
    {"models": {name: group}, "projects": {name: group}}, where a group holds
    "rows" and one sum per token field."""
    if len(buf) != report["rows"] * RECORD.size:
        raise ValueError("row buffer holds %d bytes for %d rows" % (len(buf), report["rows"]))
    models, projects = report["models"], report["projects"]
    by_model, by_project = {}, {}
    for record in decode_rows(buf):
        counts = record[6:]
        for table, name in ((by_model, models[record[1]]), (by_project, projects[record[2]])):
            group = table.get(name)
            if group is None:
                group = table[name] = _empty_group()
            group["rows"] += 1
            for field, value in zip(TOKEN_FIELDS, counts):
                group[field] += value
    return {"models": by_model, "projects": by_project}


def format_table(title, groups):
    """A plain text table of `groups` (name -> group), sorted by name, with a
    total line at the bottom."""
    columns = ("rows",) + TOKEN_FIELDS
    total = _empty_group()
    body = []
    for name in sorted(groups):
        group = groups[name]
        for column in columns:
            total[column] += group[column]
        body.append([name] + [str(group[column]) for column in columns])
    lines = [[title] + list(columns)] + body + [["total"] + [str(total[c]) for c in columns]]
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    out = []
    for line in lines:
        cells = [line[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(line[1:], widths[1:])]
        out.append("  ".join(cells).rstrip())
    return "\n".join(out)


def scan_summary(scan):
    return "scanned %d files, read %d bytes; malformed %d, inherited %d, pending %d, errors %d" % (
        scan["scanned"],
        scan["bytes_read"],
        scan["malformed"],
        scan["inherited_events"],
        scan["pending_files"],
        len(scan["errors"]),
    )


def _worker_count(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m ledgerly",
        description="Sum the token usage recorded in agent session logs (*.jsonl) per model and per project.",
        epilog=(
            "A log is read as the message dialect when one of its folders is named "
            "'messages', otherwise as the event dialect. Logs under a folder named "
            "'subagents' are subagent sessions. A log's initial project is the name of "
            "its nearest folder other than 'subagents'. Exit status 1 when a log could "
            "not be read, 2 on a usage error."
        ),
    )
    parser.add_argument("folders", nargs="*", metavar="FOLDER", default=["."],
                        help="folders to search for *.jsonl logs (default: the current folder)")
    parser.add_argument("--workers", type=_worker_count, default=os.cpu_count() or 1, metavar="N",
                        help="reader threads (default: the number of CPUs)")
    parser.add_argument("--json", action="store_true", help="print the totals as JSON")
    return parser


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    for folder in args.folders:
        if not os.path.exists(folder):
            parser.error("no such folder: %s" % folder)

    from ledgerly._native import Engine

    manifest = build_manifest(args.folders)
    text, buf = Engine().refresh(json.dumps(manifest), args.workers)
    report = json.loads(text)
    scan = report["scan"]
    # A new Engine always exports on its first refresh.
    result = totals(report, buf)

    if args.json:
        result["rows"] = report["rows"]
        result["scan"] = scan
        print(json.dumps(result, indent=2, sort_keys=True))
    else:
        print(format_table("model", result["models"]))
        print()
        print(format_table("project", result["projects"]))
        print()
        print(scan_summary(scan))
    for error in scan["errors"]:
        _warn(error)
    return 1 if scan["errors"] else 0
