// The state file: the checksum, round trips of states holding every kind of
// field (and the refreshes after them), and the refusal of every damaged,
// foreign or crafted file without a trace in the engine it was loaded into.
#include "engine/state_format.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/driver.h"
#include "engine/engine_lock.h"
#include "engine/state_io.h"
#include "engine/xxhash64.h"
#include "parser/dialect.h"
#include "parser/row.h"
#include "temp_files.h"

namespace ledgerly::engine {
namespace {

using ledgerly::testing::entry_for;
using ledgerly::testing::TempDir;
using parser::Row;
using parser::SharedText;

// ------------------------------------------------------------------ checksum

TEST(Xxh64, KnownValuesWhateverThePieces) {
  std::string thousand;
  for (int i = 0; i < 1000; ++i) thousand += static_cast<char>(i * 7 % 251);
  std::string counting;
  for (int i = 0; i < 33; ++i) counting += static_cast<char>(i);
  // clang-format off
  const struct { std::string data; std::uint64_t hash; } cases[] = {
      {"", 0xEF46DB3751D8E999ull},
      {"a", 0xD24EC4F1A98C6E5Bull},
      {"abc", 0x44BC2CF5AD770999ull},
      {counting.substr(0, 31), 0xC346D2B59B4D8EE1ull},
      {counting.substr(0, 32), 0xCBF59C5116FF32B4ull},
      {counting, 0x0C535D1ACAFB8EADull},
      {thousand, 0x023FD2ED1FF957D5ull},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(Xxh64::of(c.data.data(), c.data.size()), c.hash) << c.data.size() << " bytes";
    // Fed in pieces of every size up to 40: the same hash.
    for (std::size_t piece = 1; piece <= 40 && piece <= c.data.size(); ++piece) {
      Xxh64 hash;
      for (std::size_t at = 0; at < c.data.size(); at += piece) {
        hash.update(c.data.data() + at, std::min(piece, c.data.size() - at));
      }
      EXPECT_EQ(hash.digest(), c.hash) << c.data.size() << " bytes in pieces of " << piece;
    }
  }
}

// ------------------------------------------------------------------ helpers

std::string save_bytes(const Engine& engine, std::string_view extra = {}) {
  StringSink sink;
  save_state(engine, extra, sink);
  return sink.bytes;
}

StateSummary load_bytes(const std::string& bytes, Engine& out, std::string* extra = nullptr) {
  MemorySource source(bytes);
  std::string ignored;
  return load_state(source, out, extra != nullptr ? *extra : ignored);
}

// The checksum made right again after an edit, so that the edit reaches the
// structure's checks.
void reseal(std::string& bytes) {
  const std::uint64_t checksum = Xxh64::of(bytes.data(), bytes.size() - 16);
  std::memcpy(bytes.data() + bytes.size() - 16, &checksum, 8);
}

template <typename T>
void poke(std::string& bytes, std::size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// The message load_bytes() refuses `bytes` with ("" when it loads).
std::string refusal(const std::string& bytes, Engine& into) {
  try {
    load_bytes(bytes, into);
  } catch (const StateFileError& error) {
    return error.what();
  }
  return "";
}

void expect_same_rows(const std::vector<Row>& a, const std::vector<Row>& b, std::string_view path) {
  ASSERT_EQ(a.size(), b.size()) << path;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const Row& x = a[i];
    const Row& y = b[i];
    SCOPED_TRACE(std::string(path) + " row " + std::to_string(i));
    EXPECT_EQ(x.timestamp(), y.timestamp());
    EXPECT_EQ(x.counts(), y.counts());
    EXPECT_EQ(x.model().view(), y.model().view());
    EXPECT_EQ(x.project().view(), y.project().view());
    EXPECT_EQ(x.kind(), y.kind());
    EXPECT_EQ(x.subagent(), y.subagent());
    EXPECT_EQ(x.tier(), y.tier());
    EXPECT_EQ(x.key(), y.key());
    EXPECT_EQ(x.key_hash(), y.key_hash());
    ASSERT_EQ(x.totals() == nullptr, y.totals() == nullptr);
    if (x.totals() != nullptr) {
      EXPECT_EQ(std::memcmp(x.totals(), y.totals(), 40), 0);
    }
  }
}

// Every stored field of two engines agrees (the derived ones aside).
void expect_same_state(const Engine& a, const Engine& b) {
  EXPECT_EQ(a.inherited_events, b.inherited_events);
  EXPECT_EQ(a.unresolved_forks, b.unresolved_forks);
  EXPECT_EQ(a.refreshed, b.refreshed);
  EXPECT_EQ(a.export_pending, b.export_pending);
  ASSERT_EQ(a.files.size(), b.files.size());
  a.files.for_each([&b](const FileState& x) {
    const FileState* found = b.files.find(x.path());
    ASSERT_NE(found, nullptr) << x.path();
    const FileState& y = *found;
    SCOPED_TRACE(std::string(x.path()));
    EXPECT_EQ(x.identity(), y.identity());
    EXPECT_EQ(x.size, y.size);
    EXPECT_EQ(x.mtime_ns, y.mtime_ns);
    EXPECT_EQ(x.offset, y.offset);
    EXPECT_EQ(x.retry, y.retry);
    EXPECT_EQ(x.source, y.source);
    EXPECT_EQ(x.tail.view(), y.tail.view());
    for (const parser::CounterField& field : parser::kCounterFields) {
      EXPECT_EQ(x.counters.*field.member, y.counters.*field.member) << field.name;
    }
    const parser::Context& c = x.context;
    const parser::Context& d = y.context;
    EXPECT_EQ(c.snapshot, d.snapshot);
    EXPECT_EQ(c.started, d.started);
    EXPECT_EQ(c.model.view(), d.model.view());
    EXPECT_EQ(c.project.view(), d.project.view());
    EXPECT_EQ(c.session_id.view(), d.session_id.view());
    EXPECT_EQ(c.subagent, d.subagent);
    EXPECT_EQ(c.has_session, d.has_session);
    ASSERT_EQ(c.parents().size(), d.parents().size());
    for (std::size_t p = 0; p < c.parents().size(); ++p) {
      EXPECT_EQ(c.parents()[p].view(), d.parents()[p].view());
    }
    const auto& memo = c.message_model;
    ASSERT_EQ(memo.entries.size(), d.message_model.entries.size());
    for (std::size_t m = 0; m < memo.entries.size(); ++m) {
      EXPECT_EQ(memo.entries[m].raw, d.message_model.entries[m].raw);
      EXPECT_EQ(memo.entries[m].model.view(), d.message_model.entries[m].model.view());
    }
    EXPECT_EQ(memo.last, d.message_model.last);
    EXPECT_EQ(memo.next, d.message_model.next);
    expect_same_rows(x.rows, y.rows, x.path());
  });
}

// ------------------------------------------------------------ sample logs

std::string message(const std::string& key, const std::string& model, int out,
                    const std::string& cwd = "", const std::string& time = "10:00:00") {
  return R"({"type":"assistant","timestamp":"2025-03-01T)" + time + R"(Z",)" +
         (cwd.empty() ? "" : R"("cwd":")" + cwd + R"(",)") + R"("message":{"id":")" + key +
         R"(","model":")" + model + R"(","usage":{"input_tokens":3,"output_tokens":)" +
         std::to_string(out) + "}}}\n";
}

std::string meta(const std::string& id, const std::string& time, const std::string& fork = "",
                 bool subagent = false) {
  return R"({"timestamp":"2025-03-01T)" + time + R"(Z","type":"session_meta","payload":{"id":")" +
         id + R"(","timestamp":"2025-03-01T)" + time + R"(Z","cwd":"/w/events")" +
         (fork.empty() ? "" : R"(,"forked_from_id":")" + fork + "\"") +
         (subagent ? R"(,"thread_source":"subagent")" : "") + "}}\n";
}

std::string turn(const std::string& model) {
  return R"({"type":"turn_context","payload":{"model":")" + model +
         R"(","cwd":"/w/turns"}})"
         "\n";
}

// A token event; `total` < 0 leaves the running total out.
std::string tokens(const std::string& time, int input, int output, int total) {
  std::string info = R"("last_token_usage":{"input_tokens":)" + std::to_string(input) +
                     R"(,"output_tokens":)" + std::to_string(output) + "}";
  if (total >= 0) {
    info += R"(,"total_token_usage":{"input_tokens":)" + std::to_string(total) +
            R"(,"output_tokens":)" + std::to_string(total) + R"(,"total_tokens":)" +
            std::to_string(2 * total) + "}";
  }
  return R"({"timestamp":"2025-03-01T)" + time +
         R"(Z","type":"event_msg","payload":{"type":"token_count","info":{)" + info + "}}}\n";
}

// Logs whose state holds every kind of field: short, long and repeated
// keys; a full model memo that has wrapped; several projects; parse
// counters; an unread last line; running totals (repeated, reset) and
// rows without them; a fork resolved against its parent, one that is
// not, and a file naming more sessions than a plain scan keeps.
struct Sample {
  TempDir dir;
  std::vector<Input> manifest;

  Sample() {
    std::string messages;
    for (int m = 0; m < 11; ++m) {
      messages +=
          message("k" + std::to_string(m), "Model-" + std::string(1, static_cast<char>('A' + m)),
                  m + 1, m % 3 == 0 ? "/w/a" : "/w/b");
    }
    messages += message("k1", "Model-B", 40);  // repeats a response
    messages += message(std::string(57, 'L'), "Model-C", 5);
    messages += message(std::string(57, 'L'), "Model-C", 6);
    messages += message("s", "<synthetic>", 1);
    messages += "{\"usage\":\n";  // malformed
    messages += R"({"type":"assistant","timestamp":"2025-03-01T10:00:00Z","message":{"id":"neg",)"
                R"("model":"alpha-4","usage":{"input_tokens":-1}}})"
                "\n";
    messages += R"({"type":"assistant","timestamp":"2025-03-01T10:)";  // no line end yet
    add("messages.jsonl", messages, parser::kMessageDialect);

    add("parent.jsonl",
        meta("p1", "08:00:00") + turn("model-x") + tokens("08:10:00", 10, 2, 12) +
            tokens("08:20:00", 5, 1, 18) + tokens("08:25:00", 5, 1, 18) +  // repeated total
            tokens("08:30:00", 1, 1, 4),                                   // reset
        parser::kForkingEventDialect);
    std::string child = meta("c1", "09:00:00", "p1");
    for (int s = 0; s < 10; ++s) child += meta("named-" + std::to_string(s), "09:00:01");
    child += turn("model-x") + tokens("09:01:00", 10, 2, 12) + tokens("09:02:00", 7, 3, 30) +
             tokens("07:00:00", 1, 1, 31);  // before the session's start
    add("child.jsonl", child, parser::kForkingEventDialect);
    add("orphan.jsonl", meta("o1", "09:00:00", "nobody") + tokens("09:05:00", 2, 2, 4),
        parser::kForkingEventDialect);
    add("other.jsonl",
        meta("x1", "11:00:00", "", true) + turn("model-y") + tokens("11:01:00", 4, 4, -1), 7, true);
  }

  void add(const std::string& name, const std::string& content, std::uint8_t source,
           bool sub = false) {
    Input in = entry_for(dir.write(name, content), source);
    in.sub = sub;
    in.project = "proj-" + name;
    manifest.push_back(in);
  }

  // The manifest as the files are now.
  std::vector<Input> now() const {
    std::vector<Input> out;
    for (const Input& in : manifest) {
      Input again = entry_for(in.path, in.source);
      again.sub = in.sub;
      again.project = in.project;
      out.push_back(again);
    }
    return out;
  }
};

std::string buffer_of(const RefreshOutput& out) {
  if (!out.buffer) return "<none>";
  return std::string(reinterpret_cast<const char*>(out.buffer->data), out.buffer->size);
}

// The same refresh on both engines gives the same report and buffer.
void expect_same_refresh(Engine& a, Engine& b, const std::vector<Input>& manifest, bool force,
                         const std::string& step) {
  SCOPED_TRACE(step);
  const RefreshOutput x = refresh(a, manifest, 2, force, nullptr, Attribution::kFiles);
  const RefreshOutput y = refresh(b, manifest, 1, force, nullptr, Attribution::kFiles);
  EXPECT_EQ(x.text, y.text);
  EXPECT_EQ(buffer_of(x), buffer_of(y));
}

// ---------------------------------------------------------------- round trip

TEST(StateFile, RoundTripKeepsEveryFieldAndLaterRefreshesAgree) {
  Sample sample;
  Engine engine;
  refresh(engine, sample.manifest, 2, false, nullptr, Attribution::kFiles);
  // The sample reaches what it means to: the engine's own fields, and a
  // memo that has wrapped.
  ASSERT_GT(engine.inherited_events, 0u);
  ASSERT_EQ(engine.unresolved_forks, 1u);
  const FileState& messages = *engine.files.find(sample.manifest[0].path);
  ASSERT_EQ(messages.context.message_model.entries.size(), 8u);
  ASSERT_NE(messages.context.message_model.next, 0);
  ASSERT_LT(messages.offset, messages.size);
  ASSERT_GT(engine.files.find(sample.manifest[2].path)->context.parents().size(), 8u);
  engine.files.find(sample.manifest[3].path)->retry = true;
  engine.export_pending = true;

  const std::string bytes = save_bytes(engine, "host bytes");
  Engine loaded;
  std::string extra;
  const StateSummary summary = load_bytes(bytes, loaded, &extra);
  EXPECT_EQ(extra, "host bytes");
  EXPECT_EQ(summary.files, 5u);
  EXPECT_EQ(summary.bytes, bytes.size());
  std::uint64_t rows = 0;
  engine.files.for_each([&rows](const FileState& f) { rows += f.rows.size(); });
  EXPECT_EQ(summary.rows, rows);
  expect_same_state(engine, loaded);
  // A loaded state saves to the very same bytes.
  EXPECT_EQ(save_bytes(loaded, "host bytes"), bytes);

  // Whatever follows, the two engines answer alike.
  expect_same_refresh(engine, loaded, sample.now(), false, "nothing changed");
  expect_same_refresh(engine, loaded, sample.now(), true, "forced");
  sample.dir.append("messages.jsonl", "00Z\",\"message\":{\"id\":\"late\"}}\n" +
                                          message("k2", "Model-C", 99) +
                                          message("new", "Model-Z", 1));
  sample.dir.append("child.jsonl", tokens("09:03:00", 1, 1, 32));
  expect_same_refresh(engine, loaded, sample.now(), false, "appended");
  sample.dir.write("parent.jsonl", meta("p1", "08:00:00") + tokens("08:10:00", 10, 2, 12));
  std::vector<Input> fewer = sample.now();
  fewer.erase(fewer.begin() + 3);  // orphan.jsonl leaves
  expect_same_refresh(engine, loaded, fewer, false, "rewritten and removed");
  expect_same_refresh(engine, loaded, fewer, true, "forced again");
  expect_same_state(engine, loaded);
}

TEST(StateFile, EmptyEnginesAndEmptyFieldsRoundTrip) {
  Engine empty;
  const std::string bytes = save_bytes(empty);
  EXPECT_EQ(bytes.size(), 32u + 8u + 24u + 16u);
  Engine loaded;
  EXPECT_EQ(load_bytes(bytes, loaded).files, 0u);
  expect_same_state(empty, loaded);

  // A file whose texts are all empty, with an empty path and identity.
  Engine bare;
  auto state = FileState::blank("", "");
  state->rows.push_back(
      Row::event(1, SharedText(), SharedText(), 3, false, 0, 1, 0, 2, 0, nullptr));
  state->rows.push_back(Row::message(2, SharedText(), SharedText(), true, 9, 1, 2, 3, 4, 5, ""));
  bare.files.insert_or_assign(std::move(state));
  bare.refreshed = true;
  const std::string bare_bytes = save_bytes(bare);
  ASSERT_EQ(load_bytes(bare_bytes, loaded).rows, 2u);
  expect_same_state(bare, loaded);
  EXPECT_EQ(save_bytes(loaded), bare_bytes);
}

// ------------------------------------------------------------------ refusals

// A small state of real logs, and an engine that must come through every
// refused load untouched.
class Refusal : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Input> manifest = {
        entry_for(dir.write("m.jsonl", message("k1", "alpha-4", 2, "/w/a") +
                                           message(std::string(45, 'x'), "beta-3", 3)),
                  parser::kMessageDialect),
        entry_for(dir.write("e.jsonl", meta("s", "08:00:00", "p") + turn("model-x") +
                                           tokens("08:01:00", 3, 1, 4)),
                  parser::kForkingEventDialect),
    };
    refresh(source, manifest, 1, false);
    bytes = save_bytes(source, "x");
    refresh(target, {entry_for(dir.write("kept.jsonl", message("kept", "alpha-4", 1)))}, 1, false);
    before = save_bytes(target);
  }

  // `bytes` is refused with `message`, and `target` is as it was.
  void expect_refused(const std::string& damaged, const std::string& message) {
    EXPECT_EQ(refusal(damaged, target), message);
    EXPECT_EQ(save_bytes(target), before);
  }

  TempDir dir;
  Engine source, target;
  std::string bytes, before;
};

TEST_F(Refusal, EveryTruncationAndEveryFlippedByte) {
  Engine scratch;
  ASSERT_EQ(refusal(bytes, scratch), "");  // the intact state loads
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_NE(refusal(bytes.substr(0, size), target), "") << "cut at " << size;
  }
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (const int flip : {0x01, 0x80, 0xff}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(damaged[at] ^ flip);
      EXPECT_NE(refusal(damaged, target), "") << "byte " << at << " ^ " << flip;
    }
  }
  EXPECT_EQ(save_bytes(target), before);
}

TEST_F(Refusal, FramesOfOtherKindsSayWhatTheyAre) {
  std::string other_format = bytes, other_layout = bytes, other_magic = bytes;
  poke<std::uint32_t>(other_format, 8, state_format::kFormat + 1);
  poke<std::uint32_t>(other_layout, 12, 0);
  other_magic[1] = 'X';
  std::string appended = bytes + "more";
  // clang-format off
  const struct { std::string bytes; std::string message; } cases[] = {
      {"", "the state file is empty"},
      {bytes.substr(0, 5), "the state file is truncated (5 bytes)"},
      {bytes.substr(0, 47), "the state file is truncated (47 bytes)"},
      {"{\"not\": \"a state\"}", "not a state file"},
      {std::string(4096, 'z'), "not a state file"},
      {other_magic, "not a state file"},
      {other_format, "the state file has format 2; this build reads format 1"},
      {other_layout, "the state file has record layout 0; this build uses layout 1"},
      {bytes.substr(0, bytes.size() - 1), "the state file is truncated (its end mark is missing)"},
      {bytes.substr(0, bytes.size() / 2), "the state file is truncated (its end mark is missing)"},
      {appended, "the state file is truncated (its end mark is missing)"},
      {bytes.substr(0, bytes.size() - 16) + std::string(8, '\0') + bytes.substr(bytes.size() - 8),
       "the state file is corrupt (checksum mismatch)"},
  };
  // clang-format on
  for (const auto& c : cases) expect_refused(c.bytes, c.message);
}

TEST_F(Refusal, TheHeadAloneSaysWhatItCan) {
  const auto head_refusal = [](const std::string& data) -> std::string {
    MemorySource in(data);
    try {
      read_head(in);
    } catch (const StateFileError& error) {
      return error.what();
    }
    return "";
  };
  MemorySource whole(bytes);
  const StateHead head = read_head(whole);
  EXPECT_EQ(head.files, 2u);
  EXPECT_EQ(head.rows, 3u);
  EXPECT_EQ(head.extra_offset, 40u);
  EXPECT_EQ(head.extra_size, 1u);
  EXPECT_EQ(head.bytes, bytes.size());
  EXPECT_EQ(bytes.substr(head.extra_offset, head.extra_size), "x");

  std::string other_format = bytes, other_layout = bytes, long_extra = bytes;
  poke<std::uint32_t>(other_format, 8, state_format::kFormat + 1);
  poke<std::uint32_t>(other_layout, 12, 0);
  poke<std::uint64_t>(long_extra, 32, bytes.size());
  // clang-format off
  const struct { std::string bytes; std::string message; } cases[] = {
      {"", "the state file is empty"},
      {bytes.substr(0, 5), "the state file is truncated (5 bytes)"},
      {bytes.substr(0, 71), "the state file is truncated (71 bytes)"},
      {std::string(4096, 'z'), "not a state file"},
      {other_format, "the state file has format 2; this build reads format 1"},
      {other_layout, "the state file has record layout 0; this build uses layout 1"},
      {long_extra, "the state file is truncated or corrupt (its extra bytes run past its end)"},
      // What only a load finds: the end, the checksum, the counts.
      {bytes.substr(0, bytes.size() - 1), ""},
      {bytes.substr(0, 40) + "y" + bytes.substr(41), ""},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(head_refusal(c.bytes), c.message) << c.bytes.size();
}

// A state laid out by hand: one file (path "a.jsonl", identity "id") whose
// texts are all empty, holding one event row; its offsets follow from the
// layout in docs/state-file.md.
struct Crafted {
  std::string bytes;
  std::size_t path_at, fixed_at, refs_at, parents_at, rows_at, record_at;

  explicit Crafted(std::vector<std::string> parents = {}) {
    Engine engine;
    auto state = FileState::blank("a.jsonl", "id");
    for (const std::string& p : parents) state->context.add_parent(p);
    state->rows.push_back(
        Row::event(1, SharedText(), SharedText(), 3, false, 0, 1, 0, 2, 0, nullptr));
    engine.files.insert_or_assign(std::move(state));
    bytes = save_bytes(engine);
    path_at = bytes.find("a.jsonl");
    fixed_at = path_at + 7 + 4 + 2 + 3 * 8 + 5 * 8;
    refs_at = fixed_at + 8;
    parents_at = refs_at + 8 + 4;
    std::size_t after_parents = parents_at + 4;
    for (const std::string& p : parents) after_parents += 4 + p.size();
    rows_at = after_parents;
    record_at = rows_at + 8;
  }
};

TEST_F(Refusal, CraftedFieldsAreCheckedBeforeUse) {
  const Crafted plain;
  Engine scratch;
  ASSERT_EQ(refusal(plain.bytes, scratch), "");
  const std::uint64_t huge = ~std::uint64_t{0} >> 1;
  using Edit = std::function<void(std::string&)>;
  const Crafted two_parents({"p", "q"});
  // clang-format off
  const struct { const Crafted& base; Edit edit; std::string why; } cases[] = {
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 16, huge); }, "the file count exceeds the file"},
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 16, 3); }, "the file count exceeds the file"},
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 16, 2); }, "a record runs past the end"},
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 16, 0); }, "the row count differs from the header's"},
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 24, 2); }, "the row count differs from the header's"},
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 32, huge); }, "the extra bytes run past the end"},
      {plain, [](std::string& b) { poke<std::uint64_t>(b, 56, 4); }, "the engine has unknown flags"},
      {plain, [&](std::string& b) { poke<std::uint32_t>(b, plain.path_at - 4, 0xffffffff); }, "a text runs past the end"},
      {plain, [&](std::string& b) { poke<std::uint32_t>(b, plain.path_at + 7, 1u << 30); }, "a text runs past the end"},
      {plain, [&](std::string& b) { b[plain.fixed_at + 1] = 0x40; }, "a file has unknown flags"},
      {plain, [&](std::string& b) { b[plain.fixed_at + 2] = 65; }, "a tail is too long"},
      {plain, [&](std::string& b) { b[plain.fixed_at + 3] = 9; }, "a model memo is out of range"},
      {plain, [&](std::string& b) { b[plain.fixed_at + 4] = 1; }, "a model memo is out of range"},
      {plain, [&](std::string& b) { b[plain.fixed_at + 5] = 8; }, "a model memo is out of range"},
      {plain, [&](std::string& b) { b[plain.fixed_at + 7] = 1; }, "a file's padding is not zero"},
      {plain, [&](std::string& b) { poke<std::uint32_t>(b, plain.refs_at, 2); }, "a text reference is out of range"},
      {plain, [&](std::string& b) { poke<std::uint32_t>(b, plain.refs_at, 1); }, "an empty text is defined"},
      {plain, [&](std::string& b) { poke<std::uint32_t>(b, plain.parents_at, 0x7fffffff); }, "a parent count exceeds the file"},
      {plain, [&](std::string& b) { poke<std::uint64_t>(b, plain.rows_at, huge); }, "a row count exceeds the file"},
      {plain, [&](std::string& b) { poke<std::uint64_t>(b, plain.rows_at, 2); }, "a row count exceeds the file"},
      {plain, [&](std::string& b) { poke<std::uint32_t>(b, plain.record_at + 48, 7); }, "a text reference is out of range"},
      {plain, [&](std::string& b) { b[plain.record_at + 99] = 4; }, "a row has unknown flags"},
      {plain, [&](std::string& b) { b[plain.record_at + 97] = 2; }, "a row's subagent flag is neither 0 nor 1"},
      {plain, [&](std::string& b) { b[plain.record_at + 99] = 2; }, "an event row has a key"},
      {plain, [&](std::string& b) { b[plain.record_at + 96] = 0; b[plain.record_at + 99] = 1; }, "a message row has totals"},
      {plain, [&](std::string& b) { b[plain.record_at + 96] = 0; b[plain.record_at + 95] = 40; }, "a key is longer than its record"},
      {plain, [&](std::string& b) { b[plain.record_at + 96] = 0; b[plain.record_at + 99] = 2; b[plain.record_at + 56] = 39; }, "a long key is short"},
      {plain, [&](std::string& b) { b[plain.record_at + 96] = 0; b[plain.record_at + 99] = 2; b[plain.record_at + 56] = 80; b[plain.record_at + 70] = 1; }, "a long key's record is not zero-filled"},
      {plain, [&](std::string& b) { b[plain.record_at + 96] = 0; b[plain.record_at + 99] = 2; poke<std::uint64_t>(b, plain.record_at + 56, huge); }, "a key runs past the end"},
      {plain, [](std::string& b) { b.insert(b.size() - 16, 8, '\0'); }, "bytes follow the last file"},
      {two_parents, [&](std::string& b) { b[b.find(std::string_view("\x01\x00\x00\x00q", 5), two_parents.parents_at) + 4] = 'p'; }, "a file names a parent session twice"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::string damaged = c.base.bytes;
    c.edit(damaged);
    // Left as it is, the checksum names the damage; sealed again, the
    // structure's own check does.
    expect_refused(damaged, "the state file is corrupt (checksum mismatch)");
    reseal(damaged);
    expect_refused(damaged, "the state file is corrupt (" + c.why + ")");
  }
}

TEST_F(Refusal, FilesOutOfPathOrder) {
  Engine two;
  for (const char* path : {"a.jsonl", "b.jsonl"})
    two.files.insert_or_assign(FileState::blank(path, ""));
  std::string damaged = save_bytes(two);
  damaged[damaged.find("b.jsonl")] = 'a';
  reseal(damaged);
  expect_refused(damaged, "the state file is corrupt (the files are not in path order)");
}

// ------------------------------------------------------- sources and sinks

// A source that hands out at most a few bytes per read, or fails.
class TrickleSource final : public StateSource {
 public:
  TrickleSource(std::string_view bytes, std::size_t fail_after = SIZE_MAX)
      : inner_(bytes), fail_after_(fail_after) {}
  std::uint64_t size() const override { return inner_.size(); }
  std::size_t read(unsigned char* out, std::size_t size) override {
    if (reads_++ >= fail_after_) throw StateIoError(EIO);
    return inner_.read(out, std::min<std::size_t>(size, 1 + reads_ % 7));
  }
  bool read_at(std::uint64_t offset, unsigned char* out, std::size_t size) override {
    return inner_.read_at(offset, out, size);
  }

 private:
  MemorySource inner_;
  std::size_t reads_ = 0;
  std::size_t fail_after_;
};

// A sink that fails its k-th write (never, by default), counting them.
class FailingSink final : public StateSink {
 public:
  explicit FailingSink(std::size_t fail_at = SIZE_MAX) : fail_at_(fail_at) {}
  void write(const unsigned char*, std::size_t) override {
    if (writes_++ == fail_at_) throw StateIoError(ENOSPC);
  }
  std::size_t writes() const { return writes_; }

 private:
  std::size_t fail_at_;
  std::size_t writes_ = 0;
};

// An engine large enough that its state spans several of the reader's and
// writer's buffers (2 MiB each).
Engine many_rows(std::size_t files, std::size_t rows_per_file) {
  Engine engine;
  const SharedText model("alpha-4");
  for (std::size_t f = 0; f < files; ++f) {
    auto state = FileState::blank("f" + std::to_string(100000 + f), "id");
    const SharedText project("/w/" + std::to_string(f % 7));
    for (std::size_t r = 0; r < rows_per_file; ++r) {
      const std::string key = (r % 5 == 0 ? std::string(50, 'k') : "k") + std::to_string(r);
      state->rows.push_back(
          Row::message(static_cast<std::int64_t>(r), model, project, false, 1, 1, 2, 3, 4, 5, key));
    }
    engine.files.insert_or_assign(std::move(state));
  }
  return engine;
}

TEST(StateFile, ShortReadsAndFailingSourcesAndSinks) {
  const Engine engine = many_rows(100, 500);
  const std::string bytes = save_bytes(engine);
  FailingSink counting;
  save_state(engine, {}, counting);
  const std::size_t writes = counting.writes();
  ASSERT_GE(writes, 4u);  // several buffers, then the trailer

  Engine loaded;
  std::string extra;
  TrickleSource trickle(bytes);
  load_state(trickle, loaded, extra);
  expect_same_state(engine, loaded);

  Engine untouched = many_rows(1, 1);
  const std::string before = save_bytes(untouched);
  for (const std::size_t fail_after : {0, 3, 100}) {
    TrickleSource failing(bytes, fail_after);
    EXPECT_THROW(load_state(failing, untouched, extra), StateIoError);
    EXPECT_EQ(save_bytes(untouched), before);
  }
  for (const std::size_t fail_at : {std::size_t{0}, writes / 2, writes - 1}) {
    FailingSink sink(fail_at);
    try {
      save_state(engine, {}, sink);
      ADD_FAILURE() << "the failing write " << fail_at << " went unnoticed";
    } catch (const StateIoError& error) {
      EXPECT_EQ(error.errnum, ENOSPC);
    }
  }
}

// ------------------------------------------------------------------- files

TEST(StateFile, FilesOnDisk) {
  TempDir dir;
  const Engine engine = many_rows(3, 10);
  const std::string path = dir.path("state");
  const StateSummary saved = save_state_file(engine, "e", path);
#if !defined(_WIN32)
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  EXPECT_EQ(std::filesystem::file_size(path), saved.bytes);
  // Saving again truncates what was there.
  save_state_file(Engine(), "", path);
  EXPECT_EQ(std::filesystem::file_size(path), 32u + 8 + 24 + 16);
  save_state_file(engine, "e", path);

  Engine loaded;
  std::string extra;
  EXPECT_EQ(load_state_file(path, loaded, extra).rows, 30u);
  EXPECT_EQ(extra, "e");
  expect_same_state(engine, loaded);

  const auto io_error = [&](const std::function<void()>& call) {
    try {
      call();
    } catch (const StateIoError& error) {
      return error.errnum;
    }
    return 0;
  };
  EXPECT_EQ(io_error([&] { load_state_file(dir.path("absent"), loaded, extra); }), ENOENT);
  EXPECT_EQ(io_error([&] { load_state_file(dir.path(""), loaded, extra); }), EISDIR);
  EXPECT_EQ(io_error([&] { save_state_file(engine, "", dir.path("")); }), EISDIR);
  EXPECT_EQ(io_error([&] { save_state_file(engine, "", dir.path("absent/state")); }), ENOENT);

#if defined(_WIN32)
  // A device is refused before anything is written to it.
  for (const char* device : {"NUL"}) {
    SCOPED_TRACE(device);
    EXPECT_THROW(load_state_file(device, loaded, extra), StateFileError);
    EXPECT_THROW(save_state_file(engine, "", device), StateFileError);
  }
#else
  // A named pipe is refused at once, whether or not anyone writes to it.
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(
      {
        try {
          load_state_file(fifo, loaded, extra);
        } catch (const StateFileError& error) {
          EXPECT_STREQ(error.what(), "the path is not a regular file (named pipe)");
          throw;
        }
      },
      StateFileError);
  EXPECT_EQ(io_error([&] { save_state_file(engine, "", fifo); }), ENXIO);  // no reader
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_THROW(save_state_file(engine, "", fifo), StateFileError);
  ::close(reader);
#endif
  expect_same_state(engine, loaded);
}

#if !defined(_WIN32)
// Through a descriptor the caller opened, the file is never opened again by
// name: what is renamed in at the name meanwhile is neither written nor read.
TEST(StateFile, ThroughADescriptorTheNameIsNotOpenedAgain) {
  TempDir dir;
  const Engine engine = many_rows(3, 10);
  const std::string path = dir.path("state");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0640);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::rename(dir.write("decoy", "decoy").c_str(), path.c_str()), 0);
  const StateSummary saved = save_state_file(engine, "e", fd);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), saved.bytes);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the caller's mode stays
  EXPECT_EQ(std::filesystem::file_size(path), 5u);

  Engine loaded;
  std::string extra;
  EXPECT_EQ(load_state_file(fd, loaded, extra).rows, 30u);  // from the start, past the position
  EXPECT_EQ(extra, "e");
  expect_same_state(engine, loaded);
  EXPECT_EQ(read_state_head(fd).files, 3u);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(saved.bytes));
  ::close(fd);

  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  EXPECT_THROW(load_state_file(pipe_ends[0], loaded, extra), StateFileError);
  EXPECT_THROW(save_state_file(engine, "", pipe_ends[1]), StateFileError);
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  try {
    read_state_head(pipe_ends[0]);
    ADD_FAILURE() << "a closed descriptor was read";
  } catch (const StateIoError& error) {
    EXPECT_EQ(error.errnum, EBADF);
  }
}
#endif

// Saves run between refreshes, never beside them, when both take the engine
// lock (as the binding does); each saved state is whole.
TEST(StateFile, SavesBesideRefreshesUnderTheEngineLock) {
  TempDir dir;
  const std::string log = dir.write("log.jsonl", message("m0", "alpha-4", 1));
  EngineLock lock;
  Engine engine;
  std::vector<std::string> states;
  std::thread refresher([&] {
    for (int i = 1; i <= 30; ++i) {
      dir.append("log.jsonl", message("m" + std::to_string(i), "alpha-4", i));
      ASSERT_EQ(lock.acquire(), EngineLock::Entry::kAcquired);
      refresh(engine, {entry_for(log)}, 2, false, nullptr, Attribution::kFiles);
      lock.release();
    }
  });
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(lock.acquire(), EngineLock::Entry::kAcquired);
    states.push_back(save_bytes(engine));
    lock.release();
  }
  refresher.join();
  for (const std::string& bytes : states) {
    Engine loaded;
    ASSERT_NO_THROW(load_bytes(bytes, loaded));
    EXPECT_EQ(save_bytes(loaded), bytes);
  }
}

}  // namespace
}  // namespace ledgerly::engine
