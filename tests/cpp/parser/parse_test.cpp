// The line parser: sequences of log lines in, rows, context and counters out.
#include "parser/parse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace ledgerly::parser {

// The tests below are tables of log lines and of the rows they make, one
// per line, laid out by hand.
// clang-format off
namespace {

constexpr std::int64_t kT0 = 1735689600000;  // 2025-01-01T00:00:00Z
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

struct Parsed {
  Context context;
  Counters counters;
  std::vector<Row> rows;
};

Parsed run(std::uint8_t source, const std::vector<std::string>& lines, bool sub = false) {
  Parsed r{Context::fresh("/proj", sub), {}, {}};
  for (const std::string& line : lines) {
    std::optional<Row> row = parse(line + "\n", source, r.context, r.counters);
    if (row) r.rows.push_back(std::move(*row));
  }
  return r;
}

std::string counters_of(const Counters& c) {
  std::ostringstream out;
  out << "malformed=" << c.malformed << " invalid=" << c.invalid_usage
      << " dup=" << c.duplicate_snapshots << " inherited=" << c.inherited_events
      << " resets=" << c.cumulative_resets;
  return out.str();
}

// Every field of a row, in row order, as one comparable text.
std::string describe(const Row& row) {
  std::ostringstream out;
  out << "t=" << row.timestamp() - kT0 << " model=" << row.model().view()
      << " project=" << row.project().view() << " key=" << row.key() << " counts=";
  for (std::int64_t n : row.counts()) out << n << ",";
  out << " sub=" << int(row.subagent()) << " kind=" << int(row.kind()) << " tier=" << int(row.tier());
  if (const std::int64_t* t = row.totals()) {
    out << " totals=";
    for (int i = 0; i < 5; ++i) out << t[i] << ",";
  }
  return out.str();
}

std::vector<std::string> describe(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const Row& row : rows) out.push_back(describe(row));
  return out;
}

// ---- event dialect ----------------------------------------------------------

std::string meta(const std::string& payload, const std::string& ts = "2025-01-01T00:00:00Z") {
  return R"({"type":"session_meta","timestamp":")" + ts + R"(","payload":{)" + payload + "}}";
}

std::string tokens(const std::string& ts, const std::string& info, const std::string& extra = "") {
  return R"({"type":"event_msg","timestamp":")" + ts +
         R"(","payload":{"type":"token_count")" + extra + R"(,"info":{)" + info + "}}}";
}

std::string at(int ms) {  // 2025-01-01T00:00:00Z plus `ms` milliseconds, ms < 60000
  char buf[40];
  std::snprintf(buf, sizeof buf, "2025-01-01T00:00:%02d.%03dZ", ms / 1000, ms % 1000);
  return buf;
}

TEST(ParseEvent, SessionMetaSetsIdentityOnceAndCollectsParents) {
  Parsed r = run(1, {
      meta(R"("id":"A","forked_from_id":"P","cwd":"/a","agent_role":"r")", at(5)),
      meta(R"("id":"P","cwd":"/later","thread_source":"user")", at(9)),
      meta(R"("session_id":"Q")"),
      meta(R"("id":"A")"),
      meta(R"("id":"")"),
      meta(R"("id":"Q")"),
  });
  EXPECT_EQ(r.context.session_id.view(), "A");
  ASSERT_EQ(r.context.parents().size(), 2u);
  EXPECT_EQ(r.context.parents()[0].view(), "P");
  EXPECT_EQ(r.context.parents()[1].view(), "Q");
  EXPECT_EQ(r.context.project.view(), "/a");
  EXPECT_TRUE(r.context.subagent);
  EXPECT_EQ(r.context.started, kT0 + 5);

  // No id at all: the session id is empty and a later id is a parent.
  Parsed empty = run(1, {meta(R"("cwd":"/b")"), meta(R"("id":"B")"), meta(R"("id":"")")});
  EXPECT_TRUE(empty.context.has_session);
  EXPECT_EQ(empty.context.session_id.view(), "");
  ASSERT_EQ(empty.context.parents().size(), 1u);
  EXPECT_EQ(empty.context.parents()[0].view(), "B");
  EXPECT_EQ(counters_of(r.counters), counters_of({}));
}

TEST(ParseEvent, ManyRelatedSessionsKeepFirstAppearanceOrderWithoutRepeats) {
  // Repeats of earlier ids (the fork origin and the file's own id among
  // them) are mixed in before and after the list grows long enough to be
  // indexed.
  std::vector<std::string> lines = {meta(R"("id":"own","forked_from_id":"origin")")};
  std::vector<std::string> want = {"origin"};
  for (int i = 0; i < 40; ++i) {
    const std::string id = "p" + std::to_string(i);
    lines.push_back(meta(R"("id":")" + id + R"(")"));
    want.push_back(id);
    lines.push_back(meta(R"("id":"p)" + std::to_string(i / 2) + R"(")"));
    lines.push_back(meta(i % 3 == 0 ? R"("id":"own")" : R"("session_id":"origin")"));
  }
  Parsed r = run(1, lines);
  std::vector<std::string> got;
  for (const SharedText& parent : r.context.parents()) got.emplace_back(parent.view());
  EXPECT_EQ(got, want);
  EXPECT_EQ(r.context.session_id.view(), "own");
}

TEST(ParseEvent, SubagentDecidedByFirstMatchingRule) {
  struct Case {
    const char* payload;
    bool subagent;
  };
  const Case cases[] = {
      {R"("thread_source":"subagent")", true},
      {R"("source":{"subagent":null})", true},
      {R"("source":{"other":1,"subagent":false})", true},
      {R"("source":"subagent")", false},
      {R"("agent_role":"reviewer","thread_source":"user")", true},
      {R"("agent_role":"")", false},
      {R"("agent_nickname":"n")", true},
      {R"("thread_source":"user","parent_thread_id":"p")", false},
      {R"("thread_source":"User","parent_thread_id":"p")", true},
      {R"("parent_thread_id":"")", false},
      {R"("agent_path":"/root/worker")", true},
      {R"("agent_path":"/root")", false},
      {R"("thread_source":"user","agent_path":"/root/worker")", false},
      {"", false},
  };
  for (const Case& c : cases) {
    // The manifest flag is the opposite, so the decision must replace it.
    Parsed r = run(1, {meta(c.payload), tokens(at(0), R"("last_token_usage":{"input_tokens":1})")},
                !c.subagent);
    EXPECT_EQ(r.context.subagent, c.subagent) << c.payload;
    ASSERT_EQ(r.rows.size(), 1u) << c.payload;
    EXPECT_EQ(r.rows[0].subagent(), c.subagent ? 1 : 0) << c.payload;
  }
}

TEST(ParseEvent, SessionStartTime) {
  struct Case {
    const char* payload;
    const char* envelope_ts;
    std::optional<std::int64_t> started;
  };
  const Case cases[] = {
      {R"("timestamp":"2025-01-01T00:00:01Z")", "2025-01-01T00:00:09Z", kT0 + 1000},
      {"", "2025-01-01T00:00:09Z", kT0 + 9000},
      {R"("timestamp":"yesterday")", "2025-01-01T00:00:09Z", std::nullopt},  // no fallback
      {"", "soon", std::nullopt},
  };
  for (const Case& c : cases) {
    Parsed r = run(1, {meta(c.payload, c.envelope_ts)});
    EXPECT_EQ(r.context.started, c.started) << c.payload << " " << c.envelope_ts;
  }

  // At the start is the session's own event; one millisecond earlier was
  // inherited from another session.
  const std::string last = R"("last_token_usage":{"input_tokens":3,"output_tokens":1})";
  Parsed r = run(1, {meta(R"("timestamp":"2025-01-01T00:00:02Z")"), tokens(at(1999), last),
                  tokens(at(2000), last)});
  EXPECT_EQ(describe(r.rows),
            std::vector<std::string>{"t=2000 model=unknown project=/proj key= counts=3,0,1,0,0,0,0, "
                                     "sub=0 kind=1 tier=0"});
  EXPECT_EQ(counters_of(r.counters), "malformed=0 invalid=0 dup=0 inherited=1 resets=0");
}

TEST(ParseEvent, SnapshotsDuplicatesAndResets) {
  const std::string last = R"("last_token_usage":{"input_tokens":10,"cached_input_tokens":4,"output_tokens":5,"reasoning_output_tokens":2})";
  const std::string total100 = R"("total_token_usage":{"input_tokens":100,"output_tokens":50,"total_tokens":150})";
  Parsed r = run(3, {
      tokens(at(1), last + "," + total100),
      tokens(at(2), last + "," + total100),  // same report logged again
      tokens(at(3), last + R"(,"total_token_usage":{"input_tokens":90,"output_tokens":60})"),  // reset, kept
      tokens(at(4), R"("total_token_usage":{"input_tokens":95,"output_tokens":60})"),  // no last: snapshot only
      tokens(at(5), R"("last_token_usage":{"input_tokens":0},"total_token_usage":{"input_tokens":95,"output_tokens":60})"),
      tokens(at(6), R"("last_token_usage":{"input_tokens":-1},"total_token_usage":{"input_tokens":1})"),  // invalid: no snapshot
      tokens(at(7), last + R"(,"total_token_usage":{"input_tokens":96,"output_tokens":59})"),  // reset
      R"({"type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"input_tokens":1}}}})",  // no time
      tokens(at(8), last),  // no total: snapshot kept, row without totals
  });
  EXPECT_EQ(describe(r.rows), (std::vector<std::string>{
      "t=1 model=unknown project=/proj key= counts=10,4,5,2,0,0,0, sub=0 kind=3 tier=0 totals=100,0,50,0,150,",
      "t=3 model=unknown project=/proj key= counts=10,4,5,2,0,0,0, sub=0 kind=3 tier=0 totals=90,0,60,0,0,",
      "t=7 model=unknown project=/proj key= counts=10,4,5,2,0,0,0, sub=0 kind=3 tier=0 totals=96,0,59,0,0,",
      "t=8 model=unknown project=/proj key= counts=10,4,5,2,0,0,0, sub=0 kind=3 tier=0",
  }));
  // The line at 5 repeated the snapshot taken at 4.
  EXPECT_EQ(counters_of(r.counters), "malformed=0 invalid=1 dup=2 inherited=0 resets=2");
  EXPECT_EQ(r.context.snapshot, (Totals{96, 0, 59, 0, 0}));
}

TEST(ParseEvent, InvalidLatestTurnUsage) {
  struct Case {
    const char* last;
    bool invalid;
  };
  const Case cases[] = {
      {R"({"input_tokens":5,"cached_input_tokens":6})", true},
      {R"({"input_tokens":5,"cached_input_tokens":5})", false},
      {R"({"output_tokens":3,"reasoning_output_tokens":4})", true},
      {R"({"output_tokens":4,"reasoning_output_tokens":4})", false},
      {R"({"input_tokens":-1,"output_tokens":2})", true},
      {R"({"output_tokens":1,"cached_input_tokens":-1})", true},
      {R"({"output_tokens":1,"total_tokens":-9,"cache_read_input_tokens":-9})", false},  // unused members
  };
  for (const Case& c : cases) {
    // Its total repeats the first line's, yet the invalid usage is what counts.
    const std::string total = R"(,"total_token_usage":{"input_tokens":7})";
    Parsed r = run(1, {tokens(at(0), R"("last_token_usage":{"input_tokens":1})" + total),
                    tokens(at(1), std::string(R"("last_token_usage":)") + c.last + total)});
    EXPECT_EQ(r.counters.invalid_usage, c.invalid ? 1u : 0u) << c.last;
    EXPECT_EQ(r.counters.duplicate_snapshots, c.invalid ? 0u : 1u) << c.last;
  }
}

TEST(ParseEvent, ModelProjectAndTier) {
  const std::string last = R"("last_token_usage":{"input_tokens":1})";
  Parsed r = run(2, {
      tokens(at(1), last, R"(,"service_tier":"flex")"),
      R"({"type":"turn_context","payload":{"model":"Model-X-20250101[1M]","cwd":""}})",
      tokens(at(2), last + R"(,"service_tier":"priority")", R"(,"service_tier":"flex")"),
      tokens(at(3), last + R"(,"service_tier":"turbo")", R"(,"service_tier":"flex")"),
      R"({"type":"turn_context","payload":{"model":"model-x","cwd":"/b"}})",
      tokens(at(4), last),
      R"({"type":"turn_context","payload":{"model":"Mini-5-Pro"}})",
      tokens(at(5), last, R"(,"service_tier":"standard")"),
  });
  EXPECT_EQ(describe(r.rows), (std::vector<std::string>{
      "t=1 model=unknown project=/proj key= counts=1,0,0,0,0,0,0, sub=0 kind=2 tier=4",
      "t=2 model=model-x project= key= counts=1,0,0,0,0,0,0, sub=0 kind=2 tier=3",
      "t=3 model=model-x project= key= counts=1,0,0,0,0,0,0, sub=0 kind=2 tier=0",
      "t=4 model=model-x project=/b key= counts=1,0,0,0,0,0,0, sub=0 kind=2 tier=0",
      "t=5 model=mini-5-pro project=/b key= counts=1,0,0,0,0,0,0, sub=0 kind=2 tier=1",
  }));
  // Rows share the context's texts; re-announcing the same model keeps it.
  EXPECT_TRUE(r.rows[1].model().same_object(r.rows[3].model()));
  EXPECT_TRUE(r.rows[4].project().same_object(r.context.project));
}

TEST(ParseEvent, LinesWithoutUsageAndMalformedLines) {
  Parsed r = run(1, {
      R"({"type":"event_msg","payload":{"type":"agent_message","info":{}},"x":"token_count"})",
      R"({"type":"event_msg","payload":{"type":"token_count"}})",
      R"({"type":"response_item","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":1}}},"timestamp":"2025-01-01T00:00:00Z"})",
      R"({"type":"event_msg","timestamp":"2025-01-01T00:00:00Z","payload":{"type":"\u0074oken_count","info":{"last_token_usage":{"input_tokens":1}}}})",
      R"({"type":"session_meta"})",
      R"({"type":"turn_context","payload":{"model":7}})",
      R"({"type":"event_msg","payload":{"type":"token_count"}} x)",
  });
  EXPECT_TRUE(r.rows.empty());
  EXPECT_TRUE(r.context.has_session);  // a session_meta line without payload still counts
  EXPECT_EQ(counters_of(r.counters), "malformed=2 invalid=0 dup=0 inherited=0 resets=0");
}

// ---- message dialect --------------------------------------------------------

std::string assistant(const std::string& usage, const std::string& message_extra = R"(,"model":"alpha-4")",
                      const std::string& envelope_extra = R"(,"timestamp":"2025-01-01T00:00:00Z")") {
  return R"({"type":"assistant")" + envelope_extra + R"(,"message":{"usage":{)" + usage + "}" +
         message_extra + "}}";
}

TEST(ParseMessage, CacheWriteSplit) {
  struct Case {
    std::int64_t creation;
    std::optional<std::int64_t> w5m, w1h;  // both absent: no breakdown record
    std::int64_t want5m, want1h;            // want5m < 0: rejected as invalid usage
  };
  const std::int64_t half = std::int64_t{1} << 62;
  const Case cases[] = {
      {100, 10, 30, 70, 30},
      {100, std::nullopt, std::nullopt, 100, 0},
      {100, 80, 50, 80, 50},
      {0, 7, std::nullopt, 7, 0},
      {kMax, 0, 0, kMax, 0},
      // The breakdown passes the 64-bit range: the wrapped difference is
      // negative and clamps to 0, or stays positive and the sum wraps.
      {0, kMax, 1, kMax, 1},
      {half, half, half, half, half},
      {kMax, 1, kMax, 1, kMax},
      {0, kMax, 2, -1, 0},
      {5, kMax, 7, -1, 0},
      {kMax, kMax, kMax, kMax, kMax},
  };
  for (const Case& c : cases) {
    std::string usage = R"("input_tokens":1,"cache_creation_input_tokens":)" + std::to_string(c.creation);
    if (c.w5m || c.w1h) {
      usage += R"(,"cache_creation":{)";
      if (c.w5m) usage += R"("ephemeral_5m_input_tokens":)" + std::to_string(*c.w5m);
      if (c.w5m && c.w1h) usage += ",";
      if (c.w1h) usage += R"("ephemeral_1h_input_tokens":)" + std::to_string(*c.w1h);
      usage += "}";
    }
    Parsed r = run(0, {assistant(usage)});
    const std::string what = usage;
    if (c.want5m < 0) {
      EXPECT_TRUE(r.rows.empty()) << what;
      EXPECT_EQ(r.counters.invalid_usage, 1u) << what;
      continue;
    }
    ASSERT_EQ(r.rows.size(), 1u) << what;
    EXPECT_EQ(r.rows[0].cache_write_5m_tokens(), c.want5m) << what;
    EXPECT_EQ(r.rows[0].cache_write_1h_tokens(), c.want1h) << what;
  }
}

TEST(ParseMessage, RowsKeysTiersAndDrops) {
  Parsed r = run(0, {
      assistant(R"("input_tokens":1,"output_tokens":2,"cache_read_input_tokens":3,"service_tier":"priority")",
                R"(,"model":"Model-X-20250101[1M]","id":"m1")", R"(,"timestamp":"2025-01-01T00:00:00.004Z","requestId":"r1")"),
      assistant(R"("input_tokens":1,"speed":"fast","service_tier":"flex")", R"(,"model":"model-x","id":"")",
                R"(,"requestId":"r2","timestamp":"2025-01-01T00:00:00Z")"),
      assistant(R"("input_tokens":1)", R"(,"model":"model-x")", R"(,"requestId":"r3","timestamp":"2025-01-01T00:00:00Z")"),
      assistant(R"("input_tokens":1,"speed":"Fast")"),
      assistant(R"("input_tokens":1)", R"(,"model":"<synthetic>")"),
      assistant(R"("input_tokens":1)", ""),
      assistant(R"("input_tokens":1)", R"(,"model":"-20250101")"),
      R"({"type":"assistant","timestamp":"2025-01-01T00:00:00Z","message":{"model":"alpha-4"},"usage":{}})",
      R"({"type":"user","timestamp":"2025-01-01T00:00:00Z","message":{"model":"alpha-4","usage":{"input_tokens":1}}})",
  }, true);
  EXPECT_EQ(describe(r.rows), (std::vector<std::string>{
      "t=4 model=model-x project=/proj key=m1 counts=1,0,2,0,0,0,3, sub=1 kind=0 tier=3",
      "t=0 model=model-x project=/proj key= counts=1,0,0,0,0,0,0, sub=1 kind=0 tier=2",
      "t=0 model=model-x project=/proj key=r3 counts=1,0,0,0,0,0,0, sub=1 kind=0 tier=0",
      "t=0 model=alpha-4 project=/proj key= counts=1,0,0,0,0,0,0, sub=1 kind=0 tier=0",
  }));
  EXPECT_EQ(counters_of(r.counters), counters_of({}));
  // One model and one project text for all rows that name them.
  EXPECT_TRUE(r.rows[0].model().same_object(r.rows[2].model()));
  EXPECT_TRUE(r.rows[0].project().same_object(r.rows[3].project()));
}

TEST(ParseMessage, AlternatingModelsShareOneTextPerModel) {
  // Spellings that normalise alike count as one model.
  const char* raw[] = {"alpha-4", "Model-X-20250101", "mini-5-pro", "Alpha-4"};
  const char* want[] = {"alpha-4", "model-x", "mini-5-pro", "alpha-4"};
  std::vector<std::string> lines;
  for (int round = 0; round < 3; ++round)
    for (const char* model : raw)
      lines.push_back(assistant(R"("input_tokens":1)", std::string(R"(,"model":")") + model + "\""));
  Parsed r = run(0, lines);
  ASSERT_EQ(r.rows.size(), lines.size());
  for (std::size_t i = 0; i < r.rows.size(); ++i) {
    EXPECT_EQ(r.rows[i].model().view(), want[i % 4]) << i;
    for (std::size_t j = 0; j < i; ++j) {
      const SharedText& a = r.rows[i].model();
      const SharedText& b = r.rows[j].model();
      EXPECT_EQ(a.same_object(b), a.view() == b.view()) << i << " " << j;
    }
  }
}

TEST(ParseMessage, MoreModelsThanTheMemoHoldsKeepTheirTexts) {
  // Ten models in turn, three times: the memo holds eight, so entries are
  // replaced while the file goes on; every row still names its own model.
  std::vector<std::string> lines;
  std::vector<std::string> want;
  for (int round = 0; round < 3; ++round) {
    for (int m = 0; m < 10; ++m) {
      const std::string model = "beta-" + std::to_string(m);
      lines.push_back(assistant(R"("input_tokens":1)", R"(,"model":"Beta-)" + std::to_string(m) + "\""));
      want.push_back(model);
    }
  }
  Parsed r = run(0, lines);
  ASSERT_EQ(r.rows.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(r.rows[i].model().view(), want[i]) << i;
}

TEST(ParseMessage, InvalidCountsAndWorkingDirectory) {
  Parsed r = run(0, {
      assistant(R"("input_tokens":-1)", R"(,"model":"alpha-4")",
                R"(,"cwd":"/never","timestamp":"2025-01-01T00:00:00Z")"),
      assistant(R"("output_tokens":1,"cache_creation":{"ephemeral_1h_input_tokens":-2})"),
      assistant(R"("cache_read_input_tokens":-3)"),
      assistant(R"("cache_creation_input_tokens":-4)"),
      assistant(R"("input_tokens":1)", R"(,"model":"alpha-4")", R"(,"cwd":"/a")"),  // no time: project only
      assistant(R"("input_tokens":2)"),
      assistant(R"("input_tokens":3)", R"(,"model":"alpha-4")",
                R"(,"cwd":"/a","timestamp":"2025-01-01T00:00:00Z")"),
  });
  EXPECT_EQ(describe(r.rows), (std::vector<std::string>{
      "t=0 model=alpha-4 project=/a key= counts=2,0,0,0,0,0,0, sub=0 kind=0 tier=0",
      "t=0 model=alpha-4 project=/a key= counts=3,0,0,0,0,0,0, sub=0 kind=0 tier=0",
  }));
  EXPECT_EQ(counters_of(r.counters), "malformed=0 invalid=4 dup=0 inherited=0 resets=0");
  EXPECT_TRUE(r.rows[0].project().same_object(r.rows[1].project()));
}

TEST(ParseMessage, PrefilterAndMalformedLines) {
  Parsed r = run(0, {
      "{}",
      "",
      R"({"type":"assistant","timestamp":"2025-01-01T00:00:00Z","message":{"model":"alpha-4","\u0075sage":{"input_tokens":1}}})",
      R"({"usage":)",
      R"({"type":"assistant","usage":1}x)",
      R"({"type":"assistant","usage":1})",
      R"({"type":"assistant","timestamp":"2025-01-01T00:00:00Z","message":{"model":"alpha-4","usage":{"input_tokens":1.0}}})",
      R"({"type":"session_meta","payload":{"id":"S","thread_source":"subagent"},"usage":0})",
  });
  EXPECT_TRUE(r.rows.empty());
  EXPECT_EQ(counters_of(r.counters), "malformed=3 invalid=0 dup=0 inherited=0 resets=0");
  EXPECT_FALSE(r.context.has_session);  // session lines mean nothing in this dialect
  EXPECT_FALSE(r.context.subagent);
}

// Files parsed through one pool share the model and directory texts they
// set, in both dialects; the rows are those made without a pool.
TEST(Parse, FilesReadThroughOnePoolShareTheirTexts) {
  const std::string last = R"("last_token_usage":{"input_tokens":1})";
  const std::vector<std::string> event_lines = {
      R"({"type":"turn_context","payload":{"model":"Model-X","cwd":"/shared"}})",
      tokens(at(1), last),
  };
  const std::vector<std::string> message_lines = {
      assistant(R"("input_tokens":1)", R"(,"model":"Alpha-4","id":"m1")",
                R"(,"timestamp":"2025-01-01T00:00:00Z","cwd":"/shared")"),
  };
  struct Case {
    std::uint8_t source;
    const std::vector<std::string>* lines;
  };
  for (const Case& c : {Case{2, &event_lines}, Case{0, &message_lines}}) {
    TextPool pool;
    std::vector<Parsed> files;
    for (int f = 0; f < 2; ++f) {
      Parsed r{Context::fresh("/proj", false), {}, {}};
      for (const std::string& line : *c.lines) {
        std::optional<Row> row = parse(line + "\n", c.source, r.context, r.counters, &pool);
        if (row) r.rows.push_back(std::move(*row));
      }
      files.push_back(std::move(r));
    }
    const Parsed alone = run(c.source, *c.lines);
    ASSERT_EQ(files[0].rows.size(), 1u);
    EXPECT_EQ(describe(files[0].rows), describe(alone.rows));
    EXPECT_EQ(describe(files[1].rows), describe(alone.rows));
    EXPECT_TRUE(files[0].rows[0].model().same_object(files[1].rows[0].model()));
    EXPECT_TRUE(files[0].rows[0].project().same_object(files[1].rows[0].project()));
    EXPECT_FALSE(alone.rows[0].model().same_object(files[0].rows[0].model()));
  }
}

// A pool stays bounded: past its limit it lets go of its texts, which live
// on in their holders, and hands out new ones.
TEST(Parse, TextPoolStaysBounded) {
  TextPool pool;
  const SharedText first = pool.get("t0");
  EXPECT_TRUE(pool.get("t0").same_object(first));
  EXPECT_TRUE(pool.get("").empty());
  std::vector<SharedText> held;
  for (std::size_t i = 0; i < 3 * TextPool::kMaxTexts; ++i) {
    const std::string text = "t" + std::to_string(i);
    held.push_back(pool.get(text));
    EXPECT_EQ(held.back().view(), text);
    EXPECT_LE(pool.size(), TextPool::kMaxTexts);
  }
  EXPECT_EQ(first.view(), "t0");
  EXPECT_EQ(pool.get("t0").view(), "t0");
}

// clang-format on

}  // namespace
}  // namespace ledgerly::parser
