// Row selection (fork inheritance, key dedup) and the exported tables and
// records, on engine states built in memory.
#include "engine/export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/record.h"
#include "engine/report.h"
#include "engine/select.h"
#include "engine/state.h"
#include "parser/row.h"
#include "parser/shared_text.h"

namespace ledgerly::engine {
namespace {

using parser::Row;
using parser::SharedText;

// A row in a compact form.  Event rows (kind != 0) carry the fingerprint
// `fp` in their totals and input count (fp 0: no totals); message rows
// (kind 0) carry `key` and `out`.
struct RowDesc {
  std::uint8_t kind = 1;
  std::int64_t fp = 0;
  std::int64_t ts = 0;
  std::string key = {};
  std::int64_t out = 0;
  std::string model = "alpha-4";
};

struct FileDesc {
  std::string path;
  std::string session = {};
  std::vector<std::string> parents = {};
  std::optional<std::int64_t> started = std::nullopt;
  std::vector<RowDesc> rows = {};
  std::uint8_t source = 1;
};

Row make_row(const RowDesc& r, const SharedText& model, const SharedText& project) {
  if (r.kind == 0) {
    return Row::message(r.ts, model, project, false, 1, r.fp, r.out, 0, 0, 0, r.key);
  }
  const parser::Totals totals = {r.fp, 0, r.out, 0, r.fp + r.out};
  return Row::event(r.ts, model, project, r.kind, false, 1, r.fp, 0, r.out, 0,
                    r.fp != 0 ? &totals : nullptr);
}

void add_file(Engine& engine, const FileDesc& desc) {
  Input input;
  input.path = desc.path;
  input.source = desc.source;
  input.project = "proj";
  auto state = FileState::fresh(std::move(input));
  parser::Context& c = state->context;
  c.session_id = SharedText(desc.session);
  for (const std::string& p : desc.parents) c.add_parent(p);
  c.started = desc.started;
  for (const RowDesc& r : desc.rows) {
    // Each distinct model text of a file gets one shared object, as the parser does.
    if (!(c.model == r.model)) c.model = SharedText(r.model);
    state->rows.push_back(make_row(r, c.model, c.project));
  }
  engine.files.insert_or_assign(std::move(state));
}

Engine make_engine(const std::vector<FileDesc>& files) {
  Engine engine;
  for (const FileDesc& f : files) add_file(engine, f);
  return engine;
}

// The position in `order` of the file whose rows hold `row`, or order.size().
std::size_t owner_of(const FileOrder& order, const Row* row) {
  const std::less<const Row*> before;
  for (std::size_t f = 0; f < order.size(); ++f) {
    const std::vector<Row>& rows = order[f].second->rows;
    if (!rows.empty() && !before(row, &rows.front()) && !before(&rows.back(), row)) return f;
  }
  return order.size();
}

// Names the selected rows "<path><row index>", space-separated.
std::string labels(const FileOrder& order, const Selection& selection) {
  std::string out;
  for (const Row* row : selection.rows) {
    const std::size_t f = owner_of(order, row);
    if (f == order.size()) continue;
    if (!out.empty()) out += ' ';
    out += std::string(order[f].first) + std::to_string(row - &order[f].second->rows.front());
  }
  return out;
}

// The attributed selection picks the same rows with the same counts, and
// names for each row the file that really holds it.
void expect_attribution_matches(const FileOrder& order, const Selection& plain) {
  const AttributedSelection attributed = select_rows<Attribution::kFiles>(order);
  EXPECT_EQ(attributed.rows, plain.rows);
  EXPECT_EQ(attributed.inherited_events, plain.inherited_events);
  EXPECT_EQ(attributed.unresolved_forks, plain.unresolved_forks);
  ASSERT_EQ(attributed.files.size(), attributed.rows.size());
  for (std::size_t k = 0; k < attributed.rows.size(); ++k) {
    EXPECT_EQ(attributed.files[k], owner_of(order, attributed.rows[k])) << "row " << k;
  }
}

struct SelectCase {
  const char* name;
  std::vector<FileDesc> files;
  const char* selected;
  std::uint64_t inherited;
  std::uint64_t unresolved;
};

void PrintTo(const SelectCase& c, std::ostream* os) { *os << c.name; }

class SelectTest : public testing::TestWithParam<SelectCase> {};

TEST_P(SelectTest, SelectsRowsAndCounts) {
  const SelectCase& c = GetParam();
  const Engine engine = make_engine(c.files);
  const FileOrder order = file_order(engine);
  const Selection selection = select_rows(order);
  EXPECT_EQ(labels(order, selection), c.selected);
  EXPECT_EQ(selection.inherited_events, c.inherited);
  EXPECT_EQ(selection.unresolved_forks, c.unresolved);
  expect_attribution_matches(order, selection);
}

std::string CaseName(const testing::TestParamInfo<SelectCase>& param) { return param.param.name; }

// Parent "p" (session A) with fingerprints 1, 2, 3 at times 10, 20, 30.
FileDesc parent_a(std::string path = "p") {
  return {path, "A", {}, 5, {{1, 1, 10}, {1, 2, 20}, {1, 3, 30}}};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Forks, SelectTest,
    testing::Values(
        // The child repeats the parent's fingerprints 1 and 2 (times 10, 20),
        // then a new one (9), then 1 again after its opening run.
        SelectCase{"shared_rows_older_than_child_start_are_inherited",
                   {parent_a(), {"q", "B", {"A"}, 25, {{1, 1, 40}, {1, 2, 41}, {1, 9, 42}, {1, 1, 43}}}},
                   "p0 p1 p2 q2 q3", 2, 0},
        SelectCase{"shared_row_not_older_than_child_start_ends_run",
                   {parent_a(), {"q", "B", {"A"}, 15, {{1, 1, 40}, {1, 2, 41}, {1, 9, 42}, {1, 1, 43}}}},
                   "p0 p1 p2 q1 q2 q3", 1, 0},
        SelectCase{"parent_not_stored_counts_once",
                   {{"c", "B", {"X", "Y"}, std::nullopt, {{1, 1, 1}, {1, 2, 2}}}, parent_a("p")},
                   "c0 c1 p0 p1 p2", 0, 1},
        SelectCase{"one_of_two_parents_stored",
                   {{"c", "B", {"X", "A"}, 25, {{1, 1, 1}, {1, 7, 2}}}, parent_a()},
                   "c1 p0 p1 p2", 1, 0},
        SelectCase{"parent_without_totals_resolves_but_gives_nothing",
                   {{"c", "B", {"A"}, std::nullopt, {{1, 0, 1}, {1, 1, 2}}},
                    {"p", "A", {}, 5, {{1, 0, 1}, {0, 1, 2}}}},
                   "c0 c1 p0 p1", 0, 0},
        SelectCase{"time_equal_to_started_ends_run",
                   {parent_a(), {"c", "B", {"A"}, 20, {{1, 2, 40}, {1, 1, 41}}}},
                   "c0 c1 p0 p1 p2", 0, 0},
        SelectCase{"first_row_not_matching",
                   {parent_a(), {"c", "B", {"A"}, std::nullopt, {{1, 8, 40}, {1, 1, 41}}}},
                   "c0 c1 p0 p1 p2", 0, 0},
        SelectCase{"row_without_totals_ends_run",
                   {parent_a(), {"c", "B", {"A"}, std::nullopt, {{1, 0, 40}, {1, 1, 41}}}},
                   "c0 c1 p0 p1 p2", 0, 0},
        SelectCase{"other_kinds_neither_end_run_nor_inherit",
                   {parent_a(),
                    {"c", "B", {"A"}, std::nullopt,
                     {{0, 0, 40}, {2, 1, 41}, {1, 1, 42}, {1, 2, 43}, {1, 9, 44}, {1, 3, 45}}}},
                   "c0 c1 c4 c5 p0 p1 p2", 2, 0},
        SelectCase{"kind_2_child_resolved_nothing_inherited",
                   {parent_a(), {"c", "B", {"A"}, std::nullopt, {{2, 1, 40}, {2, 2, 41}}, 2}},
                   "c0 c1 p0 p1 p2", 0, 0},
        SelectCase{"later_parent_can_inherit",
                   {{"a", "P1", {}, 0, {{1, 1, 50}}},
                    {"b", "P2", {}, 0, {{1, 1, 10}}},
                    {"c", "B", {"P1", "P2"}, 25, {{1, 1, 60}}}},
                   "a0 b0", 1, 0},
        SelectCase{"earliest_time_of_a_fingerprint_counts",
                   {{"c", "B", {"A"}, 25, {{1, 1, 60}}},
                    {"p", "A", {}, 0, {{1, 1, 30}, {1, 1, 10}, {1, 1, 40}}}},
                   "p0 p1 p2", 1, 0},
        SelectCase{"last_path_owns_a_shared_session_id",
                   {{"a", "A", {}, 0, {{1, 1, 10}}},
                    {"b", "A", {}, 0, {{1, 2, 10}}},
                    {"c", "C", {"A"}, 25, {{1, 2, 60}, {1, 1, 61}}}},
                   "a0 b0 c1", 1, 0},
        SelectCase{"own_session_is_never_its_own_parent",
                   {{"s", "S", {"S"}, std::nullopt, {{1, 1, 10}, {1, 2, 20}}}},
                   "s0 s1", 0, 0},
        SelectCase{"empty_state", {}, "", 0, 0}),
    CaseName);
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Keys, SelectTest,
    testing::Values(
        // Output 5, 9, 9 at increasing times: the third wins at the first's place.
        SelectCase{"best_row_takes_first_position",
                   {{"a", "", {}, {}, {{0, 0, 1, "k", 5}, {0, 0, 2, "x", 1}}, 0},
                    {"b", "", {}, {}, {{0, 0, 3, "k", 9}, {0, 0, 4, "y", 1}}, 0},
                    {"c", "", {}, {}, {{0, 0, 5, "k", 9}, {0, 0, 6, "z", 1}}, 0}},
                   "c0 a1 b1 c1", 0, 0},
        SelectCase{"greater_output_beats_later_time",
                   {{"a", "", {}, {}, {{0, 0, 9, "k", 7}, {0, 0, 1, "k", 8}, {0, 0, 9, "k", 3}}, 0}},
                   "a1", 0, 0},
        SelectCase{"full_tie_keeps_first",
                   {{"a", "", {}, {}, {{0, 0, 4, "k", 7}, {0, 0, 4, "k", 7}}, 0},
                    {"b", "", {}, {}, {{0, 0, 4, "k", 7}}, 0}},
                   "a0", 0, 0},
        SelectCase{"empty_key_always_selected",
                   {{"a", "", {}, {}, {{0, 0, 4, "", 7}, {0, 0, 4, "", 7}, {1, 0, 4}, {1, 0, 4}}, 0}},
                   "a0 a1 a2 a3", 0, 0}),
    CaseName);
// clang-format on

// Thousands of keys with many repeats, ties in output and in time, against
// a plain one-table model: each key keeps its first position and its best row.
TEST(SelectKeysTest, ManyKeysMatchSequentialRules) {
  std::uint64_t rng = 12345;
  const auto next = [&rng](std::uint64_t n) {
    rng = rng * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::int64_t>((rng >> 33) % n);
  };
  std::vector<FileDesc> files;
  for (const char* path : {"a", "b", "c"}) {
    FileDesc f{path, "", {}, {}, {}, 0};
    for (int i = 0; i < 2000; ++i) {
      const std::int64_t k = next(1500);
      f.rows.push_back({0, 0, next(3), k % 7 == 0 ? "" : "key-" + std::to_string(k), next(3)});
    }
    files.push_back(std::move(f));
  }
  const Engine engine = make_engine(files);
  const FileOrder order = file_order(engine);

  std::vector<const Row*> expected;
  std::map<std::string_view, std::size_t> seen;
  for (const auto& [path, file] : order) {
    for (const Row& row : file->rows) {
      if (row.key().empty()) {
        expected.push_back(&row);
        continue;
      }
      auto [it, inserted] = seen.emplace(row.key(), expected.size());
      if (inserted) {
        expected.push_back(&row);
        continue;
      }
      const Row*& earlier = expected[it->second];
      if (row.output_tokens() > earlier->output_tokens() ||
          (row.output_tokens() == earlier->output_tokens() &&
           row.timestamp() > earlier->timestamp())) {
        earlier = &row;
      }
    }
  }
  const Selection selection = select_rows(order);
  EXPECT_EQ(selection.rows, expected);
  expect_attribution_matches(order, selection);
}

TEST(FileOrderTest, SortsPathBytesUnsignedPrefixFirst) {
  const Engine engine = make_engine({{"b/x.jsonl"}, {"a/y.jsonl"}, {"a"}, {"\xc3\xa9"}, {"z"}});
  std::vector<std::string_view> paths;
  for (const auto& [path, file] : file_order(engine)) paths.push_back(path);
  EXPECT_EQ(paths, (std::vector<std::string_view>{"a", "a/y.jsonl", "b/x.jsonl", "z", "\xc3\xa9"}));
}

// The file order is sorted a chunk of path bytes at a time: paths that
// differ only at or past chunk boundaries, in zero bytes against the end of
// a shorter path, in bytes above 0x7f, or after long shared stretches, in
// groups of every size, come out as plain byte comparison orders them.
TEST(FileOrderTest, ChunkedSortMatchesByteOrder) {
  std::vector<std::string> paths;
  const std::string stems[] = {
      "", "a", "abcdefg", "abcdefgh", "abcdefghi", std::string(600, 'x'), "/home/dev/proj/"};
  const std::string tails[] = {
      "",  std::string(1, '\0'), std::string(2, '\0'), "\x80",       "\xff",
      "0", "00000000",           "00000001",           "0000000\xff"};
  for (const std::string& stem : stems) {
    for (const std::string& tail : tails) {
      for (int k = 0; k < 40; ++k) paths.push_back(stem + tail + (k == 0 ? "" : std::to_string(k)));
    }
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  std::vector<FileDesc> files;
  // Inserted in a scrambled order: the table's slot order is not the answer.
  for (std::size_t i = 0; i < paths.size(); ++i)
    files.push_back({paths[(i * 7919) % paths.size()]});
  const Engine engine = make_engine(files);
  std::vector<std::string_view> got;
  for (const auto& [path, file] : file_order(engine)) got.push_back(path);
  const std::vector<std::string_view> want(paths.begin(), paths.end());
  EXPECT_EQ(got, want);
}

std::uint64_t word_at(const RowBuffer& buffer, std::size_t record, std::size_t word) {
  std::uint64_t v = 0;
  for (std::size_t b = 0; b < 8; ++b) {
    v |= std::uint64_t{buffer.data[record * record::kSize + word * 8 + b]} << (8 * b);
  }
  return v;
}

TEST(ExportTest, RecordsHoldEveryFieldInWordOrder) {
  Engine engine;
  Input input;
  input.path = "f";
  auto state = FileState::fresh(std::move(input));
  const SharedText model("mini-5-pro");
  const SharedText project("proj");
  const parser::Totals totals = {1, 2, 3, 4, 5};
  state->rows.push_back(Row::message(-1234, model, project, true, 3, 11, 12, 13, 14, 15, "k"));
  state->rows.push_back(Row::event(99, model, project, 7, false, 4, 21, 22, 23, 24, &totals));
  engine.files.insert_or_assign(std::move(state));
  engine.inherited_events = 5;
  engine.unresolved_forks = 6;

  const ExportResult result = export_state(engine);
  EXPECT_EQ(engine.inherited_events, 0u);
  EXPECT_EQ(engine.unresolved_forks, 0u);
  ASSERT_EQ(result.rows, 2u);
  ASSERT_EQ(result.buffer.size, 2 * record::kSize);
  const std::vector<std::vector<std::uint64_t>> expected = {
      {static_cast<std::uint64_t>(-1234), 0, 0, 0, 1, 3, 11, 0, 12, 0, 13, 14, 15},
      {99, 0, 0, 7, 0, 4, 21, 22, 23, 24, 0, 0, 0},
  };
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t w = 0; w < 13; ++w) {
      EXPECT_EQ(word_at(result.buffer, r, w), expected[r][w]) << "record " << r << " word " << w;
    }
  }
}

TEST(ExportTest, TablesFollowFirstUseInFinalOutput) {
  // a0 is replaced by b0 (greater output), so "gone" never reaches the tables;
  // "" and text held in separate objects still share one entry each.
  // clang-format off
  Engine engine = make_engine({
      {"a", "", {}, {}, {{0, 0, 1, "k", 1, "gone"}, {0, 0, 2, "", 0, "m2"}, {0, 0, 3, "", 0, ""}}, 0},
      {"b", "", {}, {}, {{0, 0, 4, "k", 5, "m1"}, {1, 0, 5, {}, 0, "m2"}, {1, 0, 6, {}, 0, ""}}},
  });
  // clang-format on
  const ExportResult result = export_state(engine);
  EXPECT_EQ(result.models, (std::vector<std::string_view>{"m1", "m2", ""}));
  EXPECT_EQ(result.projects, (std::vector<std::string_view>{"proj"}));
  ASSERT_EQ(result.rows, 5u);
  ASSERT_EQ(result.buffer.size, 5 * record::kSize);
  const std::uint64_t model_words[] = {0, 1, 2, 1, 2};  // b0 a1 a2 b1 b2
  const std::uint64_t times[] = {4, 2, 3, 5, 6};
  for (std::size_t r = 0; r < 5; ++r) {
    EXPECT_EQ(word_at(result.buffer, r, 1), model_words[r]) << r;
    EXPECT_EQ(word_at(result.buffer, r, 0), times[r]) << r;
    EXPECT_EQ(word_at(result.buffer, r, 2), 0u) << r;
  }

  std::string body;
  write_body(body, result, Report{});
  std::string scan;
  write_report(scan, Report{});
  EXPECT_EQ(body, R"({"models":["m1","m2",""],"projects":["proj"],"rows":5,"scan":)" + scan +
                      R"(,"schema":1})");
}

TEST(ExportTest, EmptyStateGivesEmptyBody) {
  Engine engine;
  engine.inherited_events = 3;
  const ExportResult result = export_state(engine);
  EXPECT_EQ(engine.inherited_events, 0u);
  EXPECT_EQ(result.rows, 0u);
  EXPECT_EQ(result.buffer.size, 0u);
  std::string body;
  write_body(body, result, Report{});
  std::string scan;
  write_report(scan, Report{});
  EXPECT_EQ(body, R"({"models":[],"projects":[],"rows":0,"scan":)" + scan + R"(,"schema":1})");
}

TEST(ExportTest, AttributionNamesTheFileOfEveryRecord) {
  // b0 replaces a0 (more output) and d0 replaces a1 (same output, later), so
  // "a" owns no record; "c" has no rows; the fork "q" inherits both of its
  // rows from "p".  The table lists only owners, in order of first use.
  // clang-format off
  const std::vector<FileDesc> files = {
      {"a", "", {}, {}, {{0, 0, 1, "k", 1}, {0, 0, 2, "j", 3}}, 0},
      {"b", "", {}, {}, {{0, 0, 4, "k", 5}}, 0},
      {"c", "", {}, {}, {}, 0},
      {"d", "", {}, {}, {{0, 0, 5, "j", 3}, {0, 0, 6, "", 1}}, 0},
      parent_a("p"),
      {"q", "B", {"A"}, 25, {{1, 1, 40}, {1, 2, 41}}},
  };
  // clang-format on
  Engine plain_engine = make_engine(files);
  const ExportResult plain = export_state(plain_engine);
  Engine engine = make_engine(files);
  const ExportResult result = export_state<Attribution::kFiles>(engine);
  EXPECT_EQ(engine.inherited_events, 2u);

  ASSERT_EQ(result.rows, 6u);  // b0 d0 d1 p0 p1 p2
  EXPECT_EQ(result.files, (std::vector<std::string_view>{"b", "d", "p"}));
  ASSERT_EQ(result.buffer.size, 6 * (record::kSize + 4));
  // The records are those of the plain export, byte for byte; the indexes follow.
  ASSERT_EQ(plain.buffer.size, 6 * record::kSize);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(result.buffer.data), plain.buffer.size),
            std::string_view(reinterpret_cast<const char*>(plain.buffer.data), plain.buffer.size));
  const unsigned char* indexes = result.buffer.data + 6 * record::kSize;
  const std::vector<std::uint32_t> expected = {0, 1, 1, 2, 2, 2};
  for (std::size_t r = 0; r < expected.size(); ++r) {
    const std::uint32_t v = std::uint32_t{indexes[4 * r]} | std::uint32_t{indexes[4 * r + 1]} << 8 |
                            std::uint32_t{indexes[4 * r + 2]} << 16 |
                            std::uint32_t{indexes[4 * r + 3]} << 24;
    EXPECT_EQ(v, expected[r]) << "record " << r;
  }

  std::string body;
  write_body(body, result, Report{});
  std::string plain_body;
  write_body(plain_body, plain, Report{});
  EXPECT_EQ(body, R"({"files":["b","d","p"],)" + plain_body.substr(1));
}

TEST(ExportTest, AttributedEmptyStateHasAnEmptyFileTable) {
  Engine engine;
  const ExportResult result = export_state<Attribution::kFiles>(engine);
  EXPECT_EQ(result.buffer.size, 0u);
  std::string body;
  write_body(body, result, Report{});
  EXPECT_EQ(body.substr(0, 35), R"({"files":[],"models":[],"projects":)");
}

// The engine keeps what an export derives from its states (file order, fork
// fingerprints) for the next one: after each change to the stored files,
// the export must be that of an engine built afresh with the same files.
TEST(ExportTest, ExportAfterChangesMatchesAFreshEngine) {
  const auto output = [](Engine& engine) {
    ExportResult result = export_state<Attribution::kFiles>(engine);
    std::string body;
    write_body(body, result, Report{});
    return body + std::to_string(engine.inherited_events) + ' ' +
           std::to_string(engine.unresolved_forks) + ' ' +
           std::string(reinterpret_cast<const char*>(result.buffer.data), result.buffer.size);
  };
  const FileDesc child = {"q", "B", {"A"}, 25, {{1, 1, 40}, {1, 2, 41}, {1, 9, 42}}};
  // Each step stores or drops one file; the expected files follow.
  struct Step {
    std::optional<FileDesc> store;
    const char* drop;
  };
  const std::vector<Step> steps = {
      {parent_a(), nullptr},
      {child, nullptr},
      {std::nullopt, nullptr},  // nothing changed: the kept basis serves
      // The parent replaced: fingerprint 2 now only at a time after the start.
      {FileDesc{"p", "A", {}, 5, {{1, 1, 10}, {1, 2, 30}}}, nullptr},
      // A file sorting after "p" takes over session A.
      {FileDesc{"r", "A", {}, 5, {{1, 2, 10}}}, nullptr},
      {std::nullopt, "r"},
      {std::nullopt, "p"},  // the child's parent is gone: unresolved
      {FileDesc{"m", "", {}, {}, {{0, 0, 1, "k", 5}}, 0}, nullptr},
  };
  Engine engine;
  std::map<std::string, FileDesc> stored;
  for (std::size_t s = 0; s < steps.size(); ++s) {
    if (steps[s].store) {
      add_file(engine, *steps[s].store);
      stored.insert_or_assign(steps[s].store->path, *steps[s].store);
    }
    if (steps[s].drop != nullptr) {
      ASSERT_NE(engine.files.take(steps[s].drop), nullptr);
      stored.erase(steps[s].drop);
    }
    std::vector<FileDesc> files;
    for (const auto& [path, desc] : stored) files.push_back(desc);
    Engine fresh = make_engine(files);
    EXPECT_EQ(output(engine), output(fresh)) << "after step " << s;
  }
}

TEST(ExportTest, OutputDoesNotDependOnInsertionOrder) {
  std::vector<FileDesc> files = {
      parent_a("p"),
      {"c", "B", {"A"}, 25, {{1, 1, 40, {}, 0, "m-x"}, {1, 9, 42, {}, 0, "m-y"}}},
      {"m1", "", {}, {}, {{0, 0, 1, "k", 5, "m-z"}, {0, 0, 2, "j", 1, "m-y"}}, 0},
      {"m2", "", {}, {}, {{0, 0, 3, "k", 9, "m-w"}, {0, 0, 4, "j", 1, "m-x"}}, 0},
      {"e", "", {}, {}, {{2, 0, 7, {}, 0, "m-v"}}, 2},
  };
  auto run = [](const std::vector<FileDesc>& descs, std::uint64_t& inherited) {
    Engine engine = make_engine(descs);
    ExportResult result = export_state(engine);
    inherited = engine.inherited_events;
    std::string body;
    write_body(body, result, Report{});
    return body +
           std::string(reinterpret_cast<const char*>(result.buffer.data), result.buffer.size);
  };
  std::uint64_t inherited_forward = 0;
  std::uint64_t inherited_reversed = 0;
  const std::string forward = run(files, inherited_forward);
  std::reverse(files.begin(), files.end());
  EXPECT_EQ(run(files, inherited_reversed), forward);
  EXPECT_EQ(inherited_forward, 1u);
  EXPECT_EQ(inherited_reversed, 1u);
}

}  // namespace
}  // namespace ledgerly::engine
