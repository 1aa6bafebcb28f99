"""Tables for people: cells shortened on one line instead of wrapped, one
form of the figures for every table at a given width, and column names
that say what they count."""

import json
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ledgerly.cli import cells

from conftest import PRICES, event_log, message_line, write

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


@given(st.lists(st.lists(st.sampled_from(["a", "b", "core", ""]), min_size=1, max_size=5).map("/".join), max_size=8))
def test_the_parts_that_tell_paths_apart(paths):
    # For each other path: the last part in which the two differ, counted from their ends.
    for path in paths:
        parts, others = path.split("/"), [q for q in paths if q != path]
        expected = set()
        for other in others:
            theirs, back = other.split("/"), 0
            while back < min(len(parts), len(theirs)) and parts[-1 - back] == theirs[-1 - back]:
                back += 1
            expected.add(len(parts) - 1 - back)
        assert cells.telling_parts(path, others, HOME) == sorted(i for i in expected if i >= 0), (path, others)


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
    # Cut ids are cut at their prefix, whatever the room: the rest tells nothing more.
    assert cells.fit_id("7ef4b236-aaaa", 11, 8) == "7ef4b236…"
    assert cells.fit_id("7ef4b236-aaaa", 13, 8) == "7ef4b236-aaaa"


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


@pytest.mark.parametrize(
    "paths, room, expected",
    [
        # Paths that would read the same keep the part that tells them apart.
        (
            ["/srv/ci/runner-42/checkout/packages/core", "/srv/ci/runner-43/checkout/packages/core", "/h/me/harbor"],
            20,
            ["/…/runner-42/…/core", "/…/runner-43/…/core", "~/harbor"],
        ),
        (["/a/xx/volcano", "/b/xx/volcano"], 12, ["/a/…/volcano", "/b/…/volcano"]),
        # Too narrow even for that: shortened as usual (a table widens such a column).
        (["/srv/runner-42/core", "/srv/runner-43/core"], 8, ["/…/core", "/…/core"]),
    ],
)
def test_paths_that_would_read_the_same_keep_what_differs(paths, room, expected):
    assert cells.fit_paths(paths, room, HOME) == expected


@pytest.mark.parametrize(
    "names, room, expected",
    [
        (
            ["model-x-2-long-context-preview", "model-x-2-long-context-2025-06", "beta-3"],
            16,
            ["model-x…-preview", "model-x…-2025-06", "beta-3"],
        ),
        (["alpha-4-5-long-name", "alpha-4-6-long-name"], 12, ["alpha-4-5-l…", "alpha-4-6-l…"]),  # the end cut tells
    ],
)
def test_names_that_would_read_the_same_are_cut_in_the_middle(names, room, expected):
    assert cells.fit_names_apart(names, room) == expected


# Ids as agents name their logs: a uuid, or "log-" and the start time before one.
UUIDS = (
    "47169a47-34b9-4b5d-9e77-69b10f4205aa",
    "47169a47-eeea-4be2-a6e8-75555790f8c1",  # the same first eight characters
    "a5aa3c81-4f42-4dcb-b394-fb36bb2d4211",
    "7a609683-ceaf-4915-8885-64e882168522",
    "c8450070-6377-4407-a8e7-27891eb20109",
    "0fd630f1-f29d-4da9-953f-48f1a09f76e3",
)
EVENT_LOGS = ("log-2025-03-14T09-12-31-d1a89b37-5c1e-4f3a-9b1e-0a1b2c3d4e5f", "log-2025-03-15T16-40-02-8d118e37")
LONG_PROJECTS = (
    "/home/dev/work/clients/acme-industries/volcano-api-service",
    "/home/dev/work/clients/acme-industries/volcano-web-frontend",
    "/srv/build/agents/runner-42/checkout/monorepo/packages/core",  # the same end as the next
    "/srv/build/agents/runner-43/checkout/monorepo/packages/core",
    "/home/dev/src/example.org/someone/an-extremely-long-repository-name",
)
LONG_MODELS = ("model-x-2-long-context-preview", "model-x-2-long-context-2025-06", "alpha-4-5")
SESSION_KEYS = ("Session", "Project", "First event", "Last event", "Models")


@pytest.fixture
def named_home(home):
    for i, sid in enumerate(UUIDS):
        project = LONG_PROJECTS[i % len(LONG_PROJECTS)]
        text = "".join(
            message_line(
                "2025-03-1%dT1%d:00:00Z" % (i % 5, k), "m%d-%d" % (i, k), model, inp=7, out=9_000 + i, cwd=project
            )
            for k, model in enumerate(("alpha-4-5", "beta-3-7-verse")[: 1 + i % 2])
        )
        write(home, ".agentlogs/projects/%s/%s.jsonl" % (project.replace("/", "-"), sid), text)
    for i, sid in enumerate(EVENT_LOGS):
        turns = [("2025-03-1%dT09:1%d:00Z" % (4 + i, k), 800_000 + i, 400_000, 30_000, 1_000) for k in range(2)]
        log = event_log(sid, LONG_PROJECTS[2 + i], LONG_MODELS[i], turns)
        write(home, ".agentlogs/sessions/2025/03/%s.jsonl" % sid, log)
    (home / "prices.toml").write_text(PRICES)
    return home


def key_columns(table, headers):
    """The cells of the named (left-aligned) columns of a table's body, by
    the columns' places in the header line above the rule."""
    lines = table.splitlines()
    rule = next(i for i, s in enumerate(lines) if s.strip().startswith("─"))
    head = lines[rule - 1]
    starts = sorted((head.index(h), h) for h in headers if re.search(r"(^|\s)%s(\s|$)" % h, head))
    body = [s for s in lines[rule + 1 :] if s.strip() and not s.startswith("  Total")]
    body = body[: next((i for i, s in enumerate(body) if not s.startswith("  ")), len(body))]
    out = {}
    for (start, header), (end, _next) in zip(starts, starts[1:] + [(None, None)]):
        out[header] = [s[start:end].split("   ")[0].strip() for s in body]
    return out


def prefix_of(shown, names):
    """Whether `shown` is a name whole, or the start of exactly one of
    `names` that would not be so without its last character, and "…"."""
    if shown in names:
        return True
    start = shown[:-1]
    return (
        shown.endswith("…")
        and sum(n.startswith(start) for n in names) == 1
        and (len(start) == 8 or sum(n.startswith(start[:-1]) for n in names) > 1)
    )


@pytest.mark.parametrize("width", [80, 120, 200])
def test_names_stay_apart_and_whole_where_there_is_room(cli, named_home, width):
    env = {"COLUMNS": str(width)}
    prices = ("--prices", named_home / "prices.toml")
    ids = list(UUIDS) + list(EVENT_LOGS)
    for command, header, full in (
        (("models", "--tz", "UTC", *prices), "Model", set(LONG_MODELS) | {"beta-3-7-verse"}),
        (("projects", "--tz", "UTC"), "Project", set(LONG_PROJECTS)),
        (("prices", "check", *prices), "Model", set(LONG_MODELS) | {"beta-3-7-verse"}),
        (("sessions", "--tz", "UTC", *prices), "Project", set(LONG_PROJECTS)),
        (("sessions", "--tz", "UTC"), "Project", set(LONG_PROJECTS)),
    ):
        done = cli(*command, env=env)
        assert done.returncode in (0, 3), done.stderr
        table = done.stdout
        widest = max(len(s) for s in table.splitlines())
        assert widest <= width, table
        columns = key_columns(table, [header] + list(SESSION_KEYS))
        shown = columns[header]
        if command[0] == "sessions":
            projects = {r["id"]: r["project"] for r in json.loads(cli(*command, "--json").stdout)["rows"]}
            assert len(set(shown)) == len(set(projects.values())), table
            # An id is whole or cut to the start that names it alone.
            assert all(prefix_of(cell, ids) for cell in columns["Session"]), table
            # Ids shrink to those starts before any other column gives way, and the project stays longest.
            if len(columns) < len(SESSION_KEYS):
                assert all(cell.endswith("…") for cell in columns["Session"]), table
            assert "Project" in columns, table
        else:
            assert len(set(shown)) == len(shown) == len(full), table
        # A name is shortened only when the table has no room left for it.
        if any("…" in cell for cell in shown):
            assert widest >= width - 2, table  # less the padding and the edge a line ends in
            assert width < 200 or command[0] == "sessions", table
