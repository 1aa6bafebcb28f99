// Deltas of the selection: a caller that applies every delta to what it
// holds has, after each refresh, the rows of a full selection of the same
// state, row for row and in the same order, whatever the refreshes did
// (appends, responses logged again, forks, keys repeated across files,
// rewrites, truncations, removals), and a caller that lost track gets the
// whole selection again.
#include "engine/delta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/delta_export.h"
#include "engine/driver.h"
#include "engine/select.h"
#include "engine/state.h"
#include "engine/state_format.h"
#include "engine/testing_hooks.h"
#include "temp_files.h"

namespace ledgerly::engine {
namespace {

using ledgerly::testing::TempDir;

// --- reading a delta as its caller does -----------------------------------

// The member `key` of a compact JSON object: the text of its value.
std::string member(const std::string& text, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const std::size_t at = text.find(needle);
  if (at == std::string::npos) return {};
  std::size_t end = at + needle.size();
  if (text[end] == '[') {
    for (bool quoted = false; end < text.size(); ++end) {
      if (text[end] == '\\') {
        ++end;
      } else if (text[end] == '"') {
        quoted = !quoted;
      } else if (!quoted && text[end] == ']') {
        break;
      }
    }
    return text.substr(at + needle.size(), end + 1 - (at + needle.size()));
  }
  while (end < text.size() && text[end] != ',' && text[end] != '}') ++end;
  return text.substr(at + needle.size(), end - (at + needle.size()));
}

std::vector<std::string> strings(const std::string& array) {
  std::vector<std::string> out;
  std::string current;
  bool quoted = false;
  for (std::size_t i = 1; i + 1 < array.size(); ++i) {
    const char c = array[i];
    if (quoted && c == '\\') {
      current += array[++i];
    } else if (c == '"') {
      if (quoted) out.push_back(current);
      current.clear();
      quoted = !quoted;
    } else if (quoted) {
      current += c;
    }
  }
  return out;
}

template <typename T>
T at(const unsigned char* column, std::size_t k) {
  T v;
  std::memcpy(&v, column + k * sizeof(T), sizeof(T));
  return v;
}

// One selected row as a caller sees it.
struct HeldRow {
  std::int64_t timestamp;
  std::string model, project;
  std::uint8_t kind, subagent, tier;
  std::array<std::int64_t, 7> counts;
  std::string file, place;
  std::uint32_t seq;

  auto key() const { return std::tie(place, seq); }
  bool operator==(const HeldRow&) const = default;
};

struct Delta {
  bool reset = false;
  std::uint64_t generation = 0, rows = 0, inherited = 0, unresolved = 0;
  std::uint64_t malformed = 0, pending = 0, resets = 0;
  std::vector<std::uint32_t> withdrawn;
  std::vector<std::pair<std::uint32_t, HeldRow>> added;
};

Delta decode(const DeltaOutput& out) {
  Delta d;
  const std::string& text = out.text;
  d.reset = member(text, "reset") == "true";
  d.generation = std::stoull(member(text, "generation"));
  d.rows = std::stoull(member(text, "rows"));
  d.inherited = std::stoull(member(text, "inherited_events"));
  d.unresolved = std::stoull(member(text, "unresolved_forks"));
  d.malformed = std::stoull(member(text, "malformed"));
  d.pending = std::stoull(member(text, "pending_files"));
  d.resets = std::stoull(member(text, "cumulative_resets")) +
             std::stoull(member(text, "duplicate_snapshots"));
  const std::size_t n = std::stoull(member(text, "added"));
  const std::size_t m = std::stoull(member(text, "withdrawn"));
  const auto models = strings(member(text, "models"));
  const auto projects = strings(member(text, "projects"));
  const auto files = strings(member(text, "files"));
  EXPECT_EQ(out.buffer.size, delta_buffer_size(n, m));
  const unsigned char* p = out.buffer.data;
  const unsigned char* times = p;
  const unsigned char* counts = times + 8 * n;
  const unsigned char* withdrawn = counts + 56 * n;
  const unsigned char* ids = withdrawn + 4 * m;
  const unsigned char* model = ids + 4 * n;
  const unsigned char* project = model + 4 * n;
  const unsigned char* file = project + 4 * n;
  const unsigned char* place = file + 4 * n;
  const unsigned char* seq = place + 4 * n;
  const unsigned char* kind = seq + 4 * n;
  const unsigned char* sub = kind + n;
  const unsigned char* tier = sub + n;
  for (std::size_t k = 0; k < m; ++k) d.withdrawn.push_back(at<std::uint32_t>(withdrawn, k));
  for (std::size_t k = 0; k < n; ++k) {
    HeldRow r{};
    r.timestamp = at<std::int64_t>(times, k);
    for (std::size_t j = 0; j < 7; ++j) r.counts[j] = at<std::int64_t>(counts, j * n + k);
    r.model = models.at(at<std::uint32_t>(model, k));
    r.project = projects.at(at<std::uint32_t>(project, k));
    r.file = files.at(at<std::uint32_t>(file, k));
    r.place = files.at(at<std::uint32_t>(place, k));
    r.seq = at<std::uint32_t>(seq, k);
    r.kind = kind[k];
    r.subagent = sub[k];
    r.tier = tier[k];
    d.added.emplace_back(at<std::uint32_t>(ids, k), r);
  }
  return d;
}

// What a caller holds: the rows by id.
struct Holder {
  std::uint64_t generation = 0;
  std::map<std::uint32_t, HeldRow> rows;

  void apply(const Delta& d) {
    if (d.reset) rows.clear();
    for (const std::uint32_t id : d.withdrawn) {
      ASSERT_EQ(rows.erase(id), 1u) << "withdrawn id " << id << " was not held";
    }
    for (const auto& [id, row] : d.added) {
      ASSERT_NE(id, 0u);
      ASSERT_TRUE(rows.emplace(id, row).second) << "id " << id << " added twice";
    }
    ASSERT_EQ(rows.size(), d.rows);
    generation = d.generation;
  }

  // The held rows in the order of their places.
  std::vector<HeldRow> ordered() const {
    std::vector<HeldRow> out;
    for (const auto& [id, row] : rows) out.push_back(row);
    std::sort(out.begin(), out.end(),
              [](const HeldRow& a, const HeldRow& b) { return a.key() < b.key(); });
    return out;
  }
};

// The full selection of the engine's state now, from the selection itself.
std::vector<HeldRow> selected(Engine& engine, std::uint64_t* inherited = nullptr,
                              std::uint64_t* unresolved = nullptr) {
  const SelectionBasis& basis = basis_of(engine);
  const PlacedSelection sel = select_rows<Attribution::kPlaces>(basis);
  std::vector<HeldRow> out;
  for (std::size_t k = 0; k < sel.rows.size(); ++k) {
    const parser::Row& row = *sel.rows[k];
    HeldRow r{};
    r.timestamp = row.timestamp();
    r.counts = row.counts();
    r.model = std::string(row.model().view());
    r.project = std::string(row.project().view());
    r.kind = row.kind();
    r.subagent = row.subagent();
    r.tier = row.tier();
    r.file = std::string(basis.order[sel.files[k]].first);
    r.place = std::string(basis.order[sel.places[k].file].first);
    r.seq = sel.places[k].row;
    out.push_back(r);
  }
  // Sorting by place is the export order itself.
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end(),
                             [](const HeldRow& a, const HeldRow& b) { return a.key() < b.key(); }));
  if (inherited != nullptr) *inherited = sel.inherited_events;
  if (unresolved != nullptr) *unresolved = sel.unresolved_forks;
  return out;
}

// --- log lines -------------------------------------------------------------

std::string stamp(int minutes) {
  char text[40];
  std::snprintf(text, sizeof text, "2025-03-01T%02d:%02d:00Z", 8 + minutes / 60, minutes % 60);
  return text;
}

std::string message(const std::string& key, int out, int minutes, const std::string& model) {
  return R"({"type":"assistant","timestamp":")" + stamp(minutes) + R"(","message":{)" +
         (key.empty() ? std::string() : "\"id\":\"" + key + "\",") + R"("model":")" + model +
         R"(","usage":{"input_tokens":3,"output_tokens":)" + std::to_string(out) +
         R"(,"cache_read_input_tokens":7}}})"
         "\n";
}

std::string session(const std::string& id, int minutes, const std::string& parent) {
  return R"({"type":"session_meta","timestamp":")" + stamp(minutes) + R"(","payload":{"id":")" +
         id + R"(","timestamp":")" + stamp(minutes) + R"(","cwd":"/w/e")" +
         (parent.empty() ? std::string() : ",\"forked_from_id\":\"" + parent + "\"") + "}}\n";
}

// A token count whose fingerprint is set by `f`.
std::string tokens(int f, int minutes) {
  const std::string n = std::to_string(f);
  return R"({"type":"event_msg","timestamp":")" + stamp(minutes) +
         R"(","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":)" +
         std::to_string(10 * f) + R"(,"cached_input_tokens":)" + n + R"(,"output_tokens":)" +
         std::to_string(f + 1) + R"(,"reasoning_output_tokens":1},"total_token_usage":{)" +
         R"("input_tokens":)" + std::to_string(100 * f) + R"(,"output_tokens":)" +
         std::to_string(10 * f) + R"(,"total_tokens":)" + std::to_string(110 * f) + "}}}}\n";
}

// --- the scenario ------------------------------------------------------------

struct Log {
  Log(std::string log_name, std::uint8_t dialect) : name(std::move(log_name)), source(dialect) {}
  std::string name;
  std::uint8_t source;
  std::string content;
  bool present = false;
  int generation = 0;
  std::uint64_t mtime = 0;
};

class DeltaScenario : public ::testing::Test {
 protected:
  void SetUp() override { testing_hooks::reset(); }
  void TearDown() override { testing_hooks::reset(); }

  Input entry(const Log& log) const {
    Input in;
    in.path = dir.path(log.name);
    in.size = log.content.size();
    in.identity = log.name + ":" + std::to_string(log.generation);
    in.mtime_ns = log.mtime;
    in.source = log.source;
    in.project = "proj-" + log.name;
    in.sub = log.name.find("sub") != std::string::npos;
    return in;
  }

  std::vector<Input> manifest() const {
    std::vector<Input> out;
    for (const Log& log : logs) {
      if (log.present) out.push_back(entry(log));
    }
    return out;
  }

  void write(Log& log) {
    log.mtime = ++clock;
    dir.write(log.name, log.content);
  }

  // One refresh through the delta face, applied by the holder, then
  // checked against the full selection of the same state.  With `only`,
  // the manifest holds that log alone (or its removal), as a caller that
  // follows the files sends it.
  Delta step(std::uint64_t since, const Log* only = nullptr) {
    std::vector<Input> entries;
    std::vector<std::string> removed;
    if (only != nullptr) {
      if (only->present) {
        entries.push_back(entry(*only));
      } else {
        removed.push_back(dir.path(only->name));
      }
    }
    Delta d = decode(only != nullptr ? refresh_delta(engine, entries, 2, since, nullptr, &removed)
                                     : refresh_delta(engine, manifest(), 2, since));
    holder.apply(d);
    std::uint64_t inherited = 0, unresolved = 0;
    const std::vector<HeldRow> expected = selected(engine, &inherited, &unresolved);
    EXPECT_EQ(holder.ordered(), expected);
    EXPECT_EQ(d.unresolved, unresolved);
    EXPECT_EQ(engine.inherited_events, inherited);
    // The whole-state sums, whether the refresh saw every file or not.
    StateSums sums;
    engine.files.for_each([&sums](const FileState& state) { sums.add(state); });
    EXPECT_EQ(d.malformed, sums.counts.malformed);
    EXPECT_EQ(d.pending, sums.pending_files);
    EXPECT_EQ(d.resets, sums.counts.cumulative_resets + sums.counts.duplicate_snapshots);
    return d;
  }
  Delta step() { return step(holder.generation); }

  TempDir dir;
  Engine engine;
  Holder holder;
  std::vector<Log> logs;
  std::uint64_t clock = 0;
};

TEST_F(DeltaScenario, AppendsAddRowsAndResponsesLoggedAgainReplaceThem) {
  logs = {{"a.jsonl", 0}};
  Log& a = logs[0];
  a.present = true;
  a.content = message("k1", 5, 0, "alpha-4") + message("k2", 5, 1, "alpha-4");
  write(a);
  Delta first = step();
  EXPECT_TRUE(first.reset);  // a caller of a new engine holds nothing: the whole selection
  EXPECT_EQ(first.added.size(), 2u);
  EXPECT_EQ(first.added[0].first, 1u);  // numbered in export order
  EXPECT_EQ(first.generation, 1u);

  // The same response logged again with more output replaces its row in
  // place: one id out, one in, the place kept.
  a.content += message("k2", 9, 2, "alpha-4");
  write(a);
  Delta again = step();
  EXPECT_EQ(again.withdrawn, (std::vector<std::uint32_t>{2}));
  ASSERT_EQ(again.added.size(), 1u);
  EXPECT_EQ(again.added[0].second.counts[2], 9);
  EXPECT_EQ(again.added[0].second.seq, 1u);

  // Nothing changed: an empty delta, the generation stays.
  Delta none = step();
  EXPECT_TRUE(none.added.empty());
  EXPECT_TRUE(none.withdrawn.empty());
  EXPECT_EQ(none.generation, again.generation);
}

TEST_F(DeltaScenario, AKeyRepeatedInAnEarlierFileMovesItsRowThere) {
  logs = {{"b.jsonl", 0}, {"a.jsonl", 0}};
  logs[0].present = true;
  logs[0].content = message("k1", 5, 0, "alpha-4") + message("k2", 9, 1, "alpha-4");
  write(logs[0]);
  step();
  // a.jsonl sorts first and repeats k2 with less output: the row of b
  // stays selected but now stands in a's place.
  logs[1].present = true;
  logs[1].content = message("k2", 1, 5, "beta-2");
  write(logs[1]);
  Delta d = step();
  ASSERT_EQ(d.added.size(), 1u);
  EXPECT_EQ(d.added[0].second.file, dir.path("b.jsonl"));
  EXPECT_EQ(d.added[0].second.place, dir.path("a.jsonl"));
  EXPECT_EQ(d.withdrawn.size(), 1u);
  // Removing b hands the key to a's own row.
  logs[0].present = false;
  Delta gone = step();
  EXPECT_EQ(gone.withdrawn.size(), 2u);
  ASSERT_EQ(gone.added.size(), 1u);
  EXPECT_EQ(gone.added[0].second.model, "beta-2");
}

TEST_F(DeltaScenario, ChildrenFollowTheirParentsOwner) {
  // c (a fork of s1) repeats the parent's first two counts; the parent
  // arrives after the child, grows, then a later file takes over s1.
  logs = {{"c.jsonl", 1}, {"p.jsonl", 1}, {"q.jsonl", 1}};
  Log& c = logs[0];
  c.present = true;
  c.content = session("s2", 30, "s1") + tokens(1, 31) + tokens(2, 32) + tokens(3, 33);
  write(c);
  EXPECT_EQ(step().unresolved, 1u);
  Log& p = logs[1];
  p.present = true;
  p.content = session("s1", 0, "") + tokens(1, 1);
  write(p);
  Delta d = step();
  EXPECT_EQ(d.unresolved, 0u);
  EXPECT_EQ(engine.inherited_events, 1u);
  EXPECT_EQ(d.withdrawn.size(), 1u);  // the child's opening row
  // The parent's next count makes the child's second row inherited too.
  p.content += tokens(2, 2);
  write(p);
  Delta grown = step();
  EXPECT_EQ(engine.inherited_events, 2u);
  EXPECT_EQ(grown.withdrawn.size(), 1u);
  EXPECT_EQ(grown.added.size(), 1u);  // the parent's new row
  // q sorts after p and also carries s1, without those counts: it owns s1
  // now, and the child's rows are counted again.
  Log& q = logs[2];
  q.present = true;
  q.content = session("s1", 0, "") + tokens(7, 1);
  write(q);
  Delta back = step();
  EXPECT_EQ(engine.inherited_events, 0u);
  EXPECT_EQ(back.withdrawn.size(), 0u);
  EXPECT_EQ(back.added.size(), 3u);  // q's row and the child's two rows
}

TEST_F(DeltaScenario, ACallerThatLostTrackGetsTheWholeSelection) {
  logs = {{"a.jsonl", 0}, {"e.jsonl", 1}};
  for (Log& log : logs) log.present = true;
  logs[0].content = message("k1", 5, 0, "alpha-4");
  logs[1].content = session("s1", 0, "") + tokens(1, 1);
  for (Log& log : logs) write(log);
  step();
  // An unknown generation: a reset, numbered from 1 in export order.
  Delta reset = step(holder.generation + 7);
  EXPECT_TRUE(reset.reset);
  ASSERT_EQ(reset.added.size(), 2u);
  EXPECT_EQ(reset.added[0].first, 1u);
  EXPECT_EQ(reset.added[1].first, 2u);
  // Holding that, the next delta is a plain one again.
  logs[0].content += message("k2", 5, 1, "alpha-4");
  write(logs[0]);
  Delta next = step();
  EXPECT_FALSE(next.reset);
  EXPECT_EQ(next.added.size(), 1u);

  // refresh() changing the state leaves a delta caller behind.
  logs[0].content += message("k3", 5, 2, "alpha-4");
  write(logs[0]);
  refresh(engine, manifest(), 1, false);
  EXPECT_TRUE(step().reset);
}

TEST_F(DeltaScenario, IdsRunningOutGiveAReset) {
  logs = {{"a.jsonl", 0}};
  logs[0].present = true;
  logs[0].content = message("k1", 5, 0, "alpha-4");
  write(logs[0]);
  step();
  logs[0].content += message("k2", 5, 1, "alpha-4") + message("k3", 5, 2, "alpha-4");
  write(logs[0]);
  testing_hooks::delta_ids_left = 1;  // two rows to add, one id left
  Delta d = step();
  EXPECT_TRUE(d.reset);
  EXPECT_EQ(d.added.size(), 3u);
  EXPECT_FALSE(step().reset);
}

TEST_F(DeltaScenario, ALoadedStateGoesOnFromTheSavedSelection) {
  logs = {{"b.jsonl", 0}, {"a.jsonl", 0}};
  for (Log& log : logs) log.present = true;
  logs[0].content = message("k1", 5, 0, "alpha-4") + message("k2", 9, 1, "alpha-4");
  logs[1].content = message("k2", 1, 5, "beta-2");
  for (Log& log : logs) write(log);
  step();
  StringSink sink;
  save_state(engine, "", sink);
  // A caller that kept the rows (in export order, numbered from 1) goes on
  // from the loaded state at its generation.
  Holder kept;
  std::uint32_t id = 0;
  for (const HeldRow& row : holder.ordered()) kept.rows.emplace(++id, row);
  Engine loaded;
  MemorySource source(sink.bytes);
  std::string extra;
  load_state(source, loaded, extra);
  ASSERT_EQ(loaded.generation, kLoadedGeneration);
  engine = std::move(loaded);
  holder = kept;
  holder.generation = kLoadedGeneration;
  logs[0].content += message("k3", 5, 2, "alpha-4");
  write(logs[0]);
  Delta d = step();
  EXPECT_FALSE(d.reset);
  EXPECT_EQ(d.added.size(), 1u);
}

// Random steps over message logs that share keys and event logs that fork
// from each other's sessions.
TEST_F(DeltaScenario, RandomStepsKeepTheHeldSelectionExact) {
  const std::vector<std::string> keys = {"", "k1", "k2", "k3", "k4"};
  const std::vector<std::string> models = {"alpha-4", "beta-2"};
  const std::vector<std::string> sessions = {"s1", "s2", "s3"};
  for (int seed = 0; seed < 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(static_cast<unsigned>(seed));
    auto pick = [&random](std::size_t n) {
      return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    engine = Engine();
    holder = Holder();
    logs = {{"m1.jsonl", 0}, {"m2.jsonl", 0}, {"m3-sub.jsonl", 0},
            {"e1.jsonl", 1}, {"e2.jsonl", 1}, {"e3.jsonl", 1}};
    auto line_for = [&](const Log& log) -> std::string {
      const int minutes = static_cast<int>(pick(120));
      if (log.source != 0 && log.content.empty()) {  // event logs open with their session
        return session(sessions[pick(sessions.size())], minutes,
                       pick(3) == 0 ? "" : sessions[pick(sessions.size())]);
      }
      if (log.source == 0) {
        return message(keys[pick(keys.size())], static_cast<int>(pick(4)), minutes,
                       models[pick(models.size())]);
      }
      if (pick(8) == 0) {
        return session(sessions[pick(sessions.size())], minutes,
                       pick(2) == 0 ? "" : sessions[pick(sessions.size())]);
      }
      return tokens(1 + static_cast<int>(pick(3)), minutes);
    };
    for (int s = 0; s < 25; ++s) {
      Log& log = logs[pick(logs.size())];
      switch (pick(8)) {
        case 0:  // rewritten: a new file in its place
          log.content.clear();
          for (std::size_t k = pick(6); k > 0; --k) log.content += line_for(log);
          log.present = true;
          ++log.generation;
          write(log);
          break;
        case 1:  // removed
          log.present = false;
          break;
        case 2:  // truncated to a line boundary
          if (log.present && !log.content.empty()) {
            std::size_t cut = log.content.rfind('\n', log.content.size() - 2);
            log.content.resize(cut == std::string::npos ? 0 : cut + 1);
            write(log);
          }
          break;
        case 3:  // an incomplete line, finished by a later append
          log.content += line_for(log).substr(0, 20);
          log.present = true;
          write(log);
          break;
        default:  // appended
          if (!log.present) {
            log.present = true;
            ++log.generation;
            log.content.clear();
          } else if (!log.content.empty() && log.content.back() != '\n') {
            log.content += "\n";
          }
          for (std::size_t k = 1 + pick(3); k > 0; --k) log.content += line_for(log);
          write(log);
      }
      if (pick(10) == 0) {
        step(holder.generation + 1);  // lost track
      } else if (pick(2) == 0) {
        step(holder.generation, &log);  // told only what changed
      } else {
        step();
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace ledgerly::engine
