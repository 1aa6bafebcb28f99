"""Tables for people: cells shortened on one line instead of wrapped, one
form of the figures for every table at a given width, and column names
that say what they count."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ledgerly.cli import cells

from conftest import event_log, message_line, write

HOME = "/h/me"


@pytest.mark.parametrize(
    "path, room, expected",
    [
        ("/h/me/work/clients/acme/volcano", 40, "~/work/clients/acme/volcano"),
        # The middle goes first, then the start; the end is kept as long as it fits.
        ("/h/me/work/clients/acme/volcano", 22, "~/work/…/acme/volcano"),
        ("/h/me/work/clients/acme/volcano", 14, "~/…/volcano"),
        ("/h/me/a-very-long-final-folder-name", 12, "…folder-name"),
        ("/h/meow/x", 40, "/h/meow/x"),  # not inside the home folder
        ("/srv/a/b/c/d", 9, "/…/b/c/d"),
        ("/w/x\ny", 20, "/w/x?y"),  # never a second line
    ],
)
def test_paths_are_cut_in_the_middle_with_the_home_folder_as_tilde(path, room, expected):
    assert cells.fit_path(path, room, HOME) == expected


@given(
    st.lists(st.text(alphabet="ab-/\u6a21\u00e9", min_size=0, max_size=12), min_size=1, max_size=7).map("/".join),
    st.integers(min_value=2, max_value=40),
)
def test_a_shortened_path_fits_and_keeps_its_start_and_end(path, room):
    text = cells.fit_path(path, room, HOME)
    assert cells.width(text) <= room
    if "…" not in text:
        assert text == path
    else:
        start, _, end = text.partition("…")
        assert path.startswith(start) and path.endswith(end)


@pytest.mark.parametrize(
    "names, room, expected",
    [
        (["alpha-4-5", "beta-3", "model-x"], 30, "alpha-4-5, beta-3, model-x"),
        (["alpha-4-5", "beta-3", "model-x"], 16, "alpha-4-5 +2"),
        (["alpha-4-5", "beta-3", "model-x"], 8, "alph… +2"),
        (["model-x-2-long-context"], 10, "model-x-2…"),
    ],
)
def test_lists_of_names_keep_whole_names(names, room, expected):
    assert cells.fit_names(names, room) == expected


def test_ids_keep_the_prefix_that_tells_them_apart():
    ids = ["7ef4b236-aaaa", "7ef4b2aa-bbbb", "conv-1", "abcdefghij1", "abcdefghij2"]
    prefixes = cells.prefix_lengths(ids)
    assert prefixes == {"7ef4b236-aaaa": 8, "7ef4b2aa-bbbb": 8, "conv-1": 6, "abcdefghij1": 11, "abcdefghij2": 11}
    assert cells.fit_id("7ef4b236-aaaa", 6, 8) == "7ef4b236…"  # wider than asked rather than ambiguous
    assert cells.fit_id("7ef4b236-aaaa", 11, 8) == "7ef4b236-a…"


@pytest.fixture
def long_home(home):
    """A home folder whose logs name long working directories below it
    (and one with brackets, which a table must show literally)."""
    projects = [
        str(home / "work/clients/acme-industries/volcano-api-service"),
        str(home / "src/example.org/someone/an-extremely-long-repository-name-for-testing"),
        "/srv/build/agents/runner-42/checkout/monorepo/packages/[/core]",
    ]
    for i, project in enumerate(projects):
        sid = "%08x-1111-2222-3333-4444%08d" % (0x7EF4B200 + i, i)
        turns = [("2025-03-1%dT09:00:00Z" % (4 + i), 2_000_000 + i, 1_000_000, 300_000, 1000)]
        write(home, ".agentlogs/sessions/2025/%s.jsonl" % sid, event_log(sid, project, "model-x-2-long-context", turns))
        text = message_line("2025-03-1%dT10:00:00Z" % (4 + i), "m%d" % i, "alpha-4-5", inp=5, out=9_000, cwd=project)
        write(home, ".agentlogs/projects/p%d/conv-%d.jsonl" % (i, i), text)
    return home


FIGURES = re.compile(r"[\d.,]+[KMBT]?\+?$|–$|no price$")


@pytest.mark.parametrize("width", [60, 80, 100, 150, 220])
def test_every_table_fits_on_one_line_per_row_with_one_form_of_figures(cli, long_home, width):
    totals = {}
    for command in ("daily", "models", "projects", "blocks", "sessions"):
        done = cli(command, "--tz", "UTC", env={"COLUMNS": str(width)})
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        rule = next(i for i, s in enumerate(lines) if s.strip().startswith("─"))
        body = [s for s in lines[rule + 1 :] if s.strip()]
        assert max(len(s) for s in lines) <= width, done.stdout
        # No cell wrapped onto a line of its own: every line of the body ends in a figure.
        assert all(FIGURES.search(s.rstrip()) for s in body), done.stdout
        if command != "sessions":
            totals[command] = body[-1].split()[1:]
        if command == "projects":
            assert "/[/core]" in done.stdout or "…" in done.stdout  # brackets are text, not markup
            assert str(long_home) not in done.stdout
            assert ("~/work/" in done.stdout) == (width >= 150)
    # The same usage at the same width: the same figures in every table, abbreviated or not.
    assert len({tuple(t) for t in totals.values()}) == 1, totals
    assert any(c.endswith("M") for c in totals["daily"]) == (width < 80)


def test_fresh_input_is_named_so_where_json_input_is_all_input(cli, long_home):
    table = cli("daily", "--tz", "UTC", env={"COLUMNS": "220"}).stdout
    assert "Fresh in" in table and "Cached in" in table and " Input" not in table
    # 3 events of 2,000,000+ input with 1,000,000 cached each, and 3 × 5 fresh message input.
    assert "3,000,018" in table
    data = cli("daily", "--tz", "UTC", "--json").stdout
    assert '"input": 6000018' in data.replace("\n", " ").replace("  ", " ") or '"input":6000018' in data


def test_session_ids_are_shortened_to_a_prefix_that_names_them(cli, long_home):
    table = cli("sessions", "--tz", "UTC", env={"COLUMNS": "80"}).stdout
    shown = [s.split()[0] for s in table.splitlines() if s.strip().startswith("7ef4b2")]
    assert len(shown) == 3 and all(s.endswith("…") and len(s) < 36 for s in shown), table
    for cell in shown:
        # The cell as copied from the table names its session.
        done = cli("sessions", "--tz", "UTC", "--id", cell, "--json")
        assert done.returncode == 0, done.stderr
        assert done.stdout.count('"id": "%s' % cell.rstrip("…")) == 1
