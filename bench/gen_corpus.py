#!/usr/bin/env python3
"""Writes a synthetic corpus of agent session logs for the benchmarks.

    python3 bench/gen_corpus.py OUT [--seed N] [--size BYTES] [--files N] [--scale]

The corpus is a function of (seed, size, files, scale) alone. Event-dialect sessions
go to OUT/events/YYYY/MM/DD/*.jsonl, message-dialect sessions to
OUT/messages/<project>/*.jsonl (subagent sessions under
OUT/messages/<project>/<session>/subagents/). The shapes follow real logs:

- most lines carry no usage: user prompts, tool outputs of up to tens of KB,
  reasoning and progress events;
- event sessions: a session header with long instructions, a turn context
  with long instructions per turn, and a running-total usage event after each
  tool step, now and then logged twice;
- message sessions: assistant lines of a few KB whose usage sits after the
  text, now and then logged as two lines (one per content block);
- forked event sessions that open by repeating their parent's opening lines,
  subagent sessions of both dialects, message sessions that repeat the last
  responses of an earlier session, and a sprinkling of lines cut short.

About a quarter of the bytes sit in lines that carry one of the usage-line
markers; the summary line printed at the end gives the exact share.

--scale shapes the corpus like the largest real trees (by default 43,000
files, 11 GiB; --size and --files still apply):

- file sizes are long-tailed: most files under 1 MB, one in about 8,000
  files (at least one when the corpus is large enough to hold it) between
  100 and 240 MB;
- a message-dialect response is logged as one line per content block
  (reasoning, text, tool call), every line with the same message id and
  usage, the earlier ones with a partial output count: about half of the
  message lines repeat an id already logged;
- the long texts inside usage lines (response text and reasoning, turn and
  session instructions) are full of escapes: quotes, backslashes, tabs,
  line feeds and \\u escapes;
- continued message sessions repeat more of the earlier session's lines.
"""

import argparse
import bisect
import os
import random
import sys
import time

EVENT_MODELS = ("Model-X", "model-x-mini", "Mini-5-Pro")
MESSAGE_MODELS = ("alpha-4-5-20250929", "beta-3-20250101", "gamma-2")
PROJECTS = (
    "harbor",
    "lantern",
    "orchard",
    "quarry",
    "meadow",
    "beacon",
    "tundra",
    "canyon",
    "delta",
    "ember",
    "fjord",
    "glacier",
    "heron",
    "island",
    "juniper",
    "kestrel",
    "lagoon",
    "mesa",
    "nimbus",
    "oasis",
    "prairie",
    "reef",
    "summit",
    "timber",
)
WORDS = (
    "the a an of to in for on with by from that this it is are was be as at or and not "
    "function value result error request response buffer file path line count index "
    "table query client server retry timeout cache token session parse read write "
    "check update return config module test build deploy handler worker thread queue "
    "batch page limit offset stream record field schema type object list map set key "
    "should could would first next then after before because instead however also "
    "fix add remove rename move split merge verify measure compare expect assert"
).split()
MARKERS = (b'"token_count"', b'"turn_context"', b'"session_meta"', b'"usage"')
MARKER_TEXTS = tuple(m.decode() for m in MARKERS)
START_MS = 1735689600000  # 2025-01-01T00:00:00Z
MALFORMED_RATE = 0.002
KB = 1024


def iso(ms):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + ".%03dZ" % (ms % 1000)


class Text:
    """Pools of JSON-safe filler sliced at random offsets: prose and code
    with no quote and no backslash other than the two-character escape \\n,
    and (for --scale) text dense with every kind of escape."""

    def __init__(self, rng):
        self.prose = " ".join(rng.choices(WORDS, k=400_000))
        code = []
        for i in range(60_000):
            a, b = rng.choice(WORDS), rng.choice(WORDS)
            code.append("%s%s_%d = %s(%s, %d)" % (" " * (4 * (i % 3)), a, i % 97, b, a, i % 1000))
        self.code = "\\n".join(code)
        self.escaped = None

    def make_escaped(self, rng):
        """A pool of text full of JSON escapes, cut only between whole
        escape sequences (`units` holds the offsets where a cut may fall)."""
        pieces = (
            "\\n",
            "\\n",
            "\\n    ",
            "\\t",
            '\\"',
            '\\"',
            "\\\\",
            "\\/",
            "\\u00e9",
            "\\u2014",
            "\\u2019",
            "\\ud83d\\ude80",
            "`",
            "()",
            "{}",
            ": ",
            ", ",
            ".",
        )
        parts = []
        for _ in range(600_000):
            parts.append(rng.choice(WORDS))
            parts.append(rng.choice(pieces) if rng.random() < 0.35 else " ")
        self.escaped = "".join(parts)
        self.units = []
        offset = 0
        for part in parts:
            self.units.append(offset)
            offset += len(part)

    def escaped_of(self, rng, n):
        units = self.units
        n = min(n, len(self.escaped) // 2)
        i = bisect.bisect_left(units, rng.randrange(len(self.escaped) - n))
        j = bisect.bisect_left(units, units[i] + n)
        return self.escaped[units[i] : units[j]]

    def prose_of(self, rng, n):
        n = min(n, len(self.prose) - 1)
        i = rng.randrange(len(self.prose) - n)
        return self.prose[i : i + n]

    def code_of(self, rng, n):
        n = min(n, len(self.code) - 1)
        i = rng.randrange(len(self.code) - n)
        return self.code[i : i + n].rstrip("\\")


def uid(rng):
    h = "%032x" % rng.getrandbits(128)
    return "%s-%s-%s-%s-%s" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])


def sized(rng, mean, cap):
    return int(min(cap, 64 + rng.expovariate(1.0 / mean)))


class Session:
    """The lines of one log file, with a byte count that includes newlines."""

    def __init__(self, target):
        self.target = target
        self.lines = []
        self.size = 0

    def emit(self, line):
        self.lines.append(line)
        self.size += len(line) + 1

    def full(self):
        return self.size >= self.target


class Corpus:
    def __init__(self, out, seed, size, files, scale=False):
        self.out = out
        self.rng = random.Random(seed)
        self.text = Text(self.rng)
        self.scale = scale
        if scale:
            self.text.make_escaped(self.rng)
        self.size = size
        self.files = files
        self.event_openings = []  # (session id, start ms, opening lines, totals after them, end ms)
        self.message_tails = {}  # project -> last assistant lines of a session
        self.written = 0
        self.marked = 0
        self.malformed = 0
        self.cut = set()
        self.counts = {"events": 0, "messages": 0, "forks": 0, "subagents": 0, "continued": 0}
        self.sizes = []
        self.message_lines = 0  # assistant lines with usage
        self.responses = set()  # their distinct message ids

    def long_text(self, rng, n):
        """Instructions and response text: escaped text in --scale mode."""
        return self.text.escaped_of(rng, n) if self.scale else self.text.prose_of(rng, n)

    # -- helpers ---------------------------------------------------------

    def maybe_cut(self, line):
        """Now and then cuts a usage-bearing line short, as a crashed writer would."""
        if self.rng.random() < MALFORMED_RATE:
            # Cut after the marker, so that the line still looks like a usage line.
            end = max(line.rfind(m) + len(m) for m in MARKER_TEXTS)
            line = line[: self.rng.randrange(end, len(line) - 1)]
            self.cut.add(line)
            self.malformed += 1
        return line

    def write(self, rel, session):
        path = os.path.join(self.out, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = "\n".join(session.lines) + "\n"
        with open(path, "w", encoding="ascii", newline="\n") as f:
            f.write(data)
        self.written += len(data)
        self.sizes.append(len(data))
        for line in session.lines:
            raw = line.encode("ascii")
            if any(m in raw for m in MARKERS):
                self.marked += len(raw) + 1

    # -- event dialect ---------------------------------------------------

    def event_session(self, target, start):
        rng, text = self.rng, self.text
        s = Session(target)
        sid = uid(rng)
        project = rng.choice(PROJECTS)
        cwd = "/home/dev/" + project
        model = rng.choice(EVENT_MODELS)
        subagent = rng.random() < 0.1
        parent = None
        if not subagent and self.event_openings and rng.random() < 0.08:
            parent = rng.choice(self.event_openings)
            start = max(start, parent[4] + 60_000)
        t = start
        meta = (
            '{"timestamp":"%s","type":"session_meta","payload":{"id":"%s",%s"timestamp":"%s","cwd":"%s",'
            '"thread_source":"%s",%s"agent_version":"2.1.0","instructions":"%s"}}'
        )
        fork = '"forked_from_id":"%s",' % parent[0] if parent else ""
        role = '"agent_role":"reviewer","parent_thread_id":"%s",' % uid(rng) if subagent else ""
        s.emit(
            meta
            % (
                iso(t),
                sid,
                fork,
                iso(t),
                cwd,
                "subagent" if subagent else "user",
                role,
                self.long_text(rng, sized(rng, 6 * KB, 16 * KB)),
            )
        )
        totals = [0, 0, 0, 0]
        if parent:
            for line in parent[2]:
                s.emit(line)
                self.malformed += line in self.cut
            totals = list(parent[3])
            self.counts["forks"] += 1
        self.counts["subagents" if subagent else "events"] += 1
        opening, opening_totals, opening_end = None, None, None
        turn = 0
        while not s.full():
            turn += 1
            t += rng.randrange(5_000, 120_000)
            s.emit(
                '{"timestamp":"%s","type":"event_msg","payload":{"type":"user_message","message":"%s","images":[]}}'
                % (iso(t), text.prose_of(rng, sized(rng, 600, 4 * KB)))
            )
            s.emit(
                self.maybe_cut(
                    '{"timestamp":"%s","type":"turn_context","payload":{"cwd":"%s","approval_policy":"on-request",'
                    '"sandbox_policy":{"mode":"workspace-write"},"model":"%s","effort":"medium","summary":"auto",'
                    '"user_instructions":"%s"}}'
                    % (iso(t), cwd, model, self.long_text(rng, sized(rng, 9 * KB, 24 * KB)))
                )
            )
            for step in range(rng.randrange(1, 6)):
                t += rng.randrange(800, 30_000)
                s.emit(
                    '{"timestamp":"%s","type":"response_item","payload":{"type":"reasoning","summary":[],'
                    '"encrypted_content":"%s"}}' % (iso(t), text.prose_of(rng, sized(rng, 2 * KB, 8 * KB)))
                )
                s.emit(
                    '{"timestamp":"%s","type":"event_msg","payload":{"type":"agent_reasoning","text":"%s"}}'
                    % (iso(t), text.prose_of(rng, sized(rng, 400, 2 * KB)))
                )
                call = "call_%d_%d" % (turn, step)
                s.emit(
                    '{"timestamp":"%s","type":"response_item","payload":{"type":"function_call","name":"shell",'
                    '"arguments":"{\\"command\\":[\\"rg\\",\\"%s\\"]}","call_id":"%s"}}'
                    % (iso(t), rng.choice(WORDS), call)
                )
                t += rng.randrange(100, 20_000)
                s.emit(
                    '{"timestamp":"%s","type":"response_item","payload":{"type":"function_call_output",'
                    '"call_id":"%s","output":"%s"}}' % (iso(t), call, text.code_of(rng, sized(rng, 8 * KB, 64 * KB)))
                )
                inp = rng.randrange(2_000, 40_000)
                cached = rng.randrange(0, inp)
                outp = rng.randrange(20, 3_000)
                reason = rng.randrange(0, outp)
                totals = [totals[0] + inp, totals[1] + cached, totals[2] + outp, totals[3] + reason]
                t += rng.randrange(100, 2_000)
                line = (
                    '{"timestamp":"%s","type":"event_msg","payload":{"type":"token_count","info":{'
                    '"total_token_usage":{"input_tokens":%d,"cached_input_tokens":%d,"output_tokens":%d,'
                    '"reasoning_output_tokens":%d,"total_tokens":%d},"last_token_usage":{"input_tokens":%d,'
                    '"cached_input_tokens":%d,"output_tokens":%d,"reasoning_output_tokens":%d,"total_tokens":%d},'
                    '"model_context_window":272000},"rate_limits":{"primary":{"used_percent":%d.0}}}}'
                    % (
                        iso(t),
                        totals[0],
                        totals[1],
                        totals[2],
                        totals[3],
                        totals[0] + totals[2],
                        inp,
                        cached,
                        outp,
                        reason,
                        inp + outp,
                        rng.randrange(100),
                    )
                )
                s.emit(self.maybe_cut(line))
                if rng.random() < 0.03:
                    s.emit(line)  # the same snapshot logged again
                if s.full():
                    break
            t += rng.randrange(500, 5_000)
            s.emit(
                '{"timestamp":"%s","type":"event_msg","payload":{"type":"agent_message","message":"%s"}}'
                % (iso(t), text.prose_of(rng, sized(rng, KB, 4 * KB)))
            )
            if turn == 2 and opening is None:
                # A fork repeats its parent's lines up to here (minus the header).
                opening, opening_totals, opening_end = s.lines[1:], list(totals), t
        if opening is not None and sum(len(x) for x in opening) < 512 * KB:
            self.event_openings.append((sid, start, opening, opening_totals, opening_end))
        day = time.strftime("%Y/%m/%d", time.gmtime(start // 1000))
        return "events/%s/session-%d-%s.jsonl" % (day, start // 1000, sid), s

    # -- message dialect -------------------------------------------------

    def message_session(self, target, start):
        rng, text = self.rng, self.text
        s = Session(target)
        sid = uid(rng)
        project = rng.choice(PROJECTS)
        cwd = "/home/dev/" + project
        subagent = rng.random() < 0.1
        side = "true" if subagent else "false"
        t = start
        tail = self.message_tails.get(project)
        if tail and not subagent and rng.random() < (0.15 if self.scale else 0.1):
            s.emit('{"type":"summary","summary":"%s","leafUuid":"%s"}' % (text.prose_of(rng, 60), uid(rng)))
            for line in tail:
                s.emit(line)  # the earlier session's last responses, logged again
                self.count_message(line)
            self.counts["continued"] += 1
        self.counts["subagents" if subagent else "messages"] += 1
        last = []
        prefix = (
            '{"parentUuid":"%s","isSidechain":%s,"userType":"external","cwd":"%s","sessionId":"%s","version":"2.0.1",'
        )
        while not s.full():
            t += rng.randrange(5_000, 120_000)
            s.emit(
                (prefix + '"type":"user","message":{"role":"user","content":"%s"},"uuid":"%s","timestamp":"%s"}')
                % (uid(rng), side, cwd, sid, text.prose_of(rng, sized(rng, 600, 4 * KB)), uid(rng), iso(t))
            )
            model = rng.choice(MESSAGE_MODELS)
            for _ in range(rng.randrange(1, 6)):
                t += rng.randrange(800, 30_000)
                mid = "msg_%024x" % rng.getrandbits(96)
                rid = "req_%024x" % rng.getrandbits(96)
                creation = rng.randrange(0, 20_000)
                hour = rng.randrange(0, creation + 1) if rng.random() < 0.3 else 0
                usage = (
                    '"usage":{"input_tokens":%d,"cache_creation_input_tokens":%d,"cache_read_input_tokens":%d,'
                    '"cache_creation":{"ephemeral_5m_input_tokens":%d,"ephemeral_1h_input_tokens":%d},'
                    '"output_tokens":%%d,"service_tier":"standard"}'
                    % (rng.randrange(1, 50), creation, rng.randrange(0, 200_000), creation - hour, hour)
                )
                if self.scale:
                    self.response(s, rng, prefix, side, cwd, sid, model, mid, rid, usage, t, last)
                else:
                    usage = usage % rng.randrange(1, 4_000)
                    blocks = [
                        '{"type":"text","text":"%s"}' % text.prose_of(rng, sized(rng, 2 * KB, 8 * KB)),
                        '{"type":"tool_use","id":"tool_%d","name":"Bash","input":{"command":"rg %s"}}'
                        % (rng.getrandbits(32), rng.choice(WORDS)),
                    ]
                    # Usually one line per response; sometimes one line per content block.
                    groups = [blocks] if rng.random() < 0.8 else [[b] for b in blocks]
                    for group in groups:
                        line = (
                            prefix + '"message":{"id":"%s","type":"message","role":"assistant","model":"%s",'
                            '"content":[%s],"stop_reason":"tool_use","stop_sequence":null,%s},"requestId":"%s",'
                            '"type":"assistant","uuid":"%s","timestamp":"%s"}'
                        ) % (uid(rng), side, cwd, sid, mid, model, ",".join(group), usage, rid, uid(rng), iso(t))
                        s.emit(self.maybe_cut(line))
                        last.append(line)
                for _ in range(rng.randrange(0, 3)):
                    s.emit(
                        '{"type":"progress","data":{"type":"bash_progress","output":"%s","elapsedTimeSeconds":%d},'
                        '"toolUseID":"tool_%d","timestamp":"%s"}'
                        % (text.code_of(rng, sized(rng, 300, KB)), rng.randrange(60), rng.getrandbits(32), iso(t))
                    )
                t += rng.randrange(100, 20_000)
                output = text.code_of(rng, sized(rng, 8 * KB, 64 * KB))
                s.emit(
                    (
                        prefix + '"type":"user","message":{"role":"user","content":[{"type":"tool_result",'
                        '"tool_use_id":"tool_%d","content":"%s"}]},"toolUseResult":{"stdout":"%s","stderr":"",'
                        '"interrupted":false},"uuid":"%s","timestamp":"%s"}'
                    )
                    % (
                        uid(rng),
                        side,
                        cwd,
                        sid,
                        rng.getrandbits(32),
                        output[: len(output) // 2].rstrip("\\"),
                        output[len(output) // 2 :].lstrip("n"),
                        uid(rng),
                        iso(t),
                    )
                )
                if s.full():
                    break
        if not subagent:
            self.message_tails[project] = last[-(8 if self.scale else 3) :]
            self.last_message_session = (project, sid)
            return "messages/%s/%s.jsonl" % (project, sid), s
        owner = getattr(self, "last_message_session", (project, uid(rng)))
        return "messages/%s/%s/subagents/agent-%s.jsonl" % (owner[0], owner[1], sid[:8]), s

    def count_message(self, line):
        if self.scale and '"usage"' in line and line.endswith("}"):
            self.message_lines += 1
            self.responses.add(line[line.index('"id":"msg_') + 6 :][:28])

    def response(self, s, rng, prefix, side, cwd, sid, model, mid, rid, usage_of, t, last):
        """One response logged as one line per content block, each with the
        same id and usage; the earlier lines carry a partial output count."""
        text = self.text
        blocks = []
        if rng.random() < 0.4:
            blocks.append(
                '{"type":"thinking","thinking":"%s","signature":"%s"}'
                % (text.escaped_of(rng, sized(rng, 1500, 12 * KB)), "%x" % rng.getrandbits(1024))
            )
        if rng.random() < 0.8 or not blocks:
            blocks.append('{"type":"text","text":"%s"}' % text.escaped_of(rng, sized(rng, 1500, 12 * KB)))
        for _ in range(rng.choice((0, 0, 1, 1, 1))):
            blocks.append(
                '{"type":"tool_use","id":"tool_%d","name":"Bash","input":{"command":"rg \\"%s\\" %s"}}'
                % (rng.getrandbits(32), rng.choice(WORDS), text.escaped_of(rng, sized(rng, 120, KB)))
            )
        output = rng.randrange(1, 4_000)
        for k, block in enumerate(blocks):
            partial = output if k == len(blocks) - 1 else rng.randrange(1, output + 1)
            line = (
                prefix + '"message":{"id":"%s","type":"message","role":"assistant","model":"%s",'
                '"content":[%s],"stop_reason":%s,"stop_sequence":null,%s},"requestId":"%s",'
                '"type":"assistant","uuid":"%s","timestamp":"%s"}'
            ) % (
                uid(rng),
                side,
                cwd,
                sid,
                mid,
                model,
                block,
                '"tool_use"' if k == len(blocks) - 1 else "null",
                usage_of % partial,
                rid,
                uid(rng),
                iso(t),
            )
            line = self.maybe_cut(line)
            s.emit(line)
            self.count_message(line)
            last.append(line)

    # -- driver ----------------------------------------------------------

    def targets(self):
        """The byte size of each file, in writing order."""
        rng = self.rng
        if not self.scale:
            weights = [rng.lognormvariate(0.0, 1.0) for _ in range(self.files)]
            scale = self.size / sum(weights)
            return [max(2 * KB, int(w * scale)) for w in weights]
        # A few very large files, the rest long-tailed but below 90 MB.
        huge = {}
        for _ in range(self.files // 8000):
            huge[rng.randrange(self.files)] = min(rng.randrange(100 << 20, 240 << 20), self.size // 20)
        rest = self.size - sum(huge.values())
        weights = [rng.lognormvariate(0.0, 1.8) for _ in range(self.files)]
        scale = rest / sum(w for i, w in enumerate(weights) if i not in huge)
        return [huge[i] if i in huge else min(90 << 20, max(2 * KB, int(w * scale))) for i, w in enumerate(weights)]

    def run(self):
        rng = self.rng
        start = START_MS
        for target in self.targets():
            start += rng.randrange(60_000, 3_600_000)
            if rng.random() < 0.55:
                rel, session = self.event_session(target, start)
            else:
                rel, session = self.message_session(target, start)
            self.write(rel, session)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a synthetic corpus of session logs.")
    parser.add_argument("out", help="output folder (created; existing files with the same names are replaced)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--size", type=int, help="approximate total bytes (default 1 GiB, 11 GiB with --scale)")
    parser.add_argument("--files", type=int, help="number of log files (default 2000, 43000 with --scale)")
    parser.add_argument("--scale", action="store_true", help="shape the corpus like the largest real trees")
    args = parser.parse_args(argv)
    if args.size is None:
        args.size = 11 << 30 if args.scale else 1 << 30
    if args.files is None:
        args.files = 43_000 if args.scale else 2000
    if args.files < 1 or args.size < 1:
        parser.error("--size and --files must be positive")
    began = time.monotonic()
    corpus = Corpus(args.out, args.seed, args.size, args.files, args.scale)
    corpus.run()
    c = corpus.counts
    print(
        "wrote %d files, %d bytes in %.1f s: %d event, %d message, %d subagent, %d forked, %d continued sessions; "
        "%.1f%% of bytes in usage-marked lines; %d lines cut short"
        % (
            args.files,
            corpus.written,
            time.monotonic() - began,
            c["events"],
            c["messages"],
            c["subagents"],
            c["forks"],
            c["continued"],
            100.0 * corpus.marked / max(1, corpus.written),
            corpus.malformed,
        )
    )
    if args.scale:
        sizes = sorted(corpus.sizes)
        print(
            "file sizes: median %d bytes, %.1f%% under 1 MB, %d over 100 MB (largest %d); "
            "%d assistant usage lines for %d distinct responses (%.0f%% repeat an id)"
            % (
                sizes[len(sizes) // 2],
                100.0 * sum(x < 1 << 20 for x in sizes) / len(sizes),
                sum(x > 100 << 20 for x in sizes),
                sizes[-1],
                corpus.message_lines,
                len(corpus.responses),
                100.0 * (corpus.message_lines - len(corpus.responses)) / max(1, corpus.message_lines),
            )
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
