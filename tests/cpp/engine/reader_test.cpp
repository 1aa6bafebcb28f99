// The file reader: continue-or-rebuild decisions, line assembly across
// reads, byte counting, tails, I/O errors and the job list.
#include "engine/reader.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/export.h"
#include "engine/fatal.h"
#include "engine/report.h"
#include "engine/testing_hooks.h"
#include "parser/parse.h"
#include "temp_files.h"

namespace ledgerly::engine {
namespace {

using ledgerly::testing::broken_line;
using ledgerly::testing::entry_for;
using ledgerly::testing::row_line;
using ledgerly::testing::TempDir;

std::vector<std::string> keys(const FileState& state) {
  std::vector<std::string> out;
  for (const parser::Row& row : state.rows) out.emplace_back(row.key());
  return out;
}

WorkerResult run(Input input, std::unique_ptr<FileState> previous = nullptr) {
  return process_job(Job{std::move(input), std::move(previous)});
}

// Runs a job that must succeed and returns its state.
std::unique_ptr<FileState> read_ok(const Input& input, std::unique_ptr<FileState> previous,
                                   ReadSummary* summary = nullptr) {
  WorkerResult r = run(input, std::move(previous));
  EXPECT_FALSE(r.failed) << r.error;
  EXPECT_EQ(r.path, input.path);
  if (summary != nullptr) *summary = r.summary;
  return std::move(r.state);
}

TEST(Reader, NewFileThenGrowthContinuesAfterTheLastCompleteLine) {
  TempDir dir;
  std::string a = row_line("a1"), b = row_line("a2"), partial = R"({"type":"assistant",)";
  std::string path = dir.write("log", a + b + partial);

  ReadSummary s;
  auto state = read_ok(entry_for(path), nullptr, &s);
  EXPECT_TRUE(s.rebuilt);
  EXPECT_TRUE(s.rows_changed);
  EXPECT_EQ(s.bytes_read, a.size() + b.size() + partial.size());  // the partial line counts
  EXPECT_EQ(state->offset, a.size() + b.size());                  // but is not consumed
  EXPECT_EQ(state->tail.view(), b.substr(b.size() - 64));
  EXPECT_EQ(keys(*state), (std::vector<std::string>{"a1", "a2"}));

  // Complete the pending line and add one more: both parse, nothing twice.
  std::string rest =
      R"("timestamp":"2025-03-01T10:00:00Z","message":{"id":"a3","model":"alpha-4","usage":{"input_tokens":1,"output_tokens":1}}})"
      "\n";
  dir.append("log", rest + row_line("a4"));
  state = read_ok(entry_for(path), std::move(state), &s);
  EXPECT_FALSE(s.rebuilt);
  EXPECT_TRUE(s.rows_changed);
  EXPECT_EQ(s.bytes_read, partial.size() + rest.size() + row_line("a4").size());
  EXPECT_EQ(state->offset, entry_for(path).size);
  EXPECT_EQ(keys(*state), (std::vector<std::string>{"a1", "a2", "a3", "a4"}));
  EXPECT_EQ(state->counters.malformed, 0u);

  // Same size and time again: continued, nothing new.
  state = read_ok(entry_for(path), std::move(state), &s);
  EXPECT_FALSE(s.rebuilt);
  EXPECT_FALSE(s.rows_changed);
  EXPECT_EQ(s.bytes_read, 0u);
  EXPECT_EQ(state->rows.size(), 4u);
}

TEST(Reader, SmallFilesAndShortLines) {
  TempDir dir;
  ReadSummary s;

  auto empty = read_ok(entry_for(dir.write("empty", "")), nullptr, &s);
  EXPECT_TRUE(s.rebuilt);
  EXPECT_FALSE(s.rows_changed);
  EXPECT_EQ(s.bytes_read, 0u);
  EXPECT_EQ(empty->offset, 0u);
  EXPECT_TRUE(empty->tail.empty());

  // A bare line feed is a line: consumed, becomes the tail, parses to nothing.
  auto lf = read_ok(entry_for(dir.write("lf", "\n")), nullptr, &s);
  EXPECT_EQ(lf->offset, 1u);
  EXPECT_EQ(lf->tail.view(), "\n");
  EXPECT_EQ(lf->counters.malformed, 0u);

  auto ten = read_ok(entry_for(dir.write("ten", "123456789\n")), nullptr, &s);
  EXPECT_EQ(ten->tail.view(), "123456789\n");
}

TEST(Reader, ManifestSizeBoundsTheRead) {
  TempDir dir;
  std::string a = row_line("a1"), b = row_line("a2");
  std::string path = dir.write("log", a + b);
  Input in = entry_for(path);
  in.size = a.size() + 10;  // stops in the middle of the second line

  ReadSummary s;
  auto state = read_ok(in, nullptr, &s);
  EXPECT_EQ(s.bytes_read, a.size() + 10);
  EXPECT_EQ(state->offset, a.size());
  EXPECT_EQ(keys(*state), std::vector<std::string>{"a1"});

  // The next manifest sees the whole file: the cut line is read from its start.
  state = read_ok(entry_for(path), std::move(state), &s);
  EXPECT_FALSE(s.rebuilt);
  EXPECT_EQ(s.bytes_read, b.size());
  EXPECT_EQ(keys(*state), (std::vector<std::string>{"a1", "a2"}));
}

TEST(Reader, LinesLongerThanOneReadAreParsedOnce) {
  TempDir dir;
  // Line 1 ends just short of the first 256 KiB read, line 2 spans the
  // boundary, line 3 alone is longer than a whole read.
  std::string key1(262144 - 200, 'k');
  std::string line1 = row_line(key1);
  std::string key3(300000, 'z');
  std::string content = line1 + row_line("spans") + row_line(key3) + row_line("last");
  ASSERT_LT(line1.size(), 262144u);
  ASSERT_GT(line1.size() + row_line("spans").size(), 262144u);
  std::string path = dir.write("big", content);

  ReadSummary s;
  auto state = read_ok(entry_for(path), nullptr, &s);
  EXPECT_EQ(s.bytes_read, content.size());
  EXPECT_EQ(state->offset, content.size());
  EXPECT_EQ(keys(*state), (std::vector<std::string>{key1, "spans", key3, "last"}));
  EXPECT_EQ(state->counters.malformed, 0u);

  // A long last line leaves its final 64 bytes as the tail.
  std::string path2 = dir.write("long-last", row_line(key3));
  auto state2 = read_ok(entry_for(path2), nullptr);
  EXPECT_EQ(state2->tail.view(), row_line(key3).substr(row_line(key3).size() - 64));
}

// ---- lines found by needle search --------------------------------------------

// A line of exactly `n` bytes (line feed included, n >= 8) that holds no
// needle of either dialect but near misses of all of them.
std::string plain(std::size_t n) {
  static constexpr std::string_view kFill =
      R"("usag" "token_coun" "turn_contex" "session_met" usage )";
  std::string line = R"({"t":")";
  while (line.size() < n - 3) line += kFill;
  line.resize(n - 3);
  return line + "\"}\n";
}

std::string describe(const parser::Row& row) {
  return std::string(row.key()) + "@" + std::to_string(row.timestamp()) + " " +
         std::to_string(row.input_tokens()) + " " + std::string(row.model().view());
}

// What the file's state must be after reading `content`: every complete line
// parsed in turn, none skipped.
struct LineByLine {
  std::vector<std::string> rows;
  parser::Counters counters;
  std::uint64_t offset = 0;
  std::string tail;
  std::string model, session;  // of the parsing context
};

LineByLine line_by_line(std::string_view content, std::uint8_t source) {
  LineByLine out;
  parser::Context context = parser::Context::fresh("proj", false);
  for (std::size_t start = 0, lf; (lf = content.find('\n', start)) != std::string_view::npos;
       start = lf + 1) {
    const std::string_view line = content.substr(start, lf + 1 - start);
    if (auto row = parser::parse(line, source, context, out.counters))
      out.rows.push_back(describe(*row));
    out.offset = lf + 1;
    out.tail = line.substr(line.size() - std::min<std::size_t>(line.size(), 64));
  }
  out.model = context.model.view();
  out.session = context.session_id.view();
  return out;
}

std::string event_line(const std::string& type, const std::string& payload) {
  return R"({"type":")" + type + R"(","timestamp":"2025-03-01T10:00:00Z","payload":{)" + payload +
         "}}\n";
}

std::string token_line(int input) {
  return event_line("event_msg",
                    R"("type":"token_count","info":{"last_token_usage":{"input_tokens":)" +
                        std::to_string(input) + "}}");
}

// Bytes that put the needle `needle` of `line` at `at` bytes from the start
// of the file, `prefix` bytes being already written: one plain line.
std::string lead_in(std::size_t prefix, const std::string& line, std::string_view needle,
                    std::size_t at) {
  return plain(at - prefix - line.find(needle));
}

TEST(Reader, OnlyLinesWithANeedleAreParsedWithTheSameResults) {
  constexpr std::size_t kRead = 262144;
  struct Case {
    std::string name;
    std::uint8_t source;
    std::string content;
    std::size_t rows;  // rows the content yields, so that no case is vacuous
  };
  std::vector<Case> cases;

  // The needle starts k bytes before the end of the first read: right at it
  // (k = 0), straddling it (k = 1..6) or ending just before it (k = 7).
  for (std::size_t k = 0; k <= 7; ++k) {
    const std::string row = row_line("edge" + std::to_string(k));
    cases.push_back({"usage needle across the read boundary, k=" + std::to_string(k), 0,
                     lead_in(0, row, "\"usage\"", kRead - k) + row + plain(40) + row_line("next"),
                     2});
  }
  {
    const std::string meta = event_line("session_meta", R"("id":"s1")");
    const std::string turn = event_line("turn_context", R"("model":"model-x")");
    const std::string tokens = token_line(9);
    const std::string head = meta + turn + plain(5000);
    cases.push_back({"token_count needle across the read boundary", 1,
                     head + lead_in(head.size(), tokens, "\"token_count\"", kRead - 6) + tokens +
                         token_line(4) + turn + plain(12),
                     2});
  }
  cases.push_back({"line ending exactly at the end of a read", 0,
                   plain(kRead) + row_line("first") + plain(9), 1});
  cases.push_back({"needle in the last complete line and in the incomplete one", 0,
                   plain(1000) + row_line("last") + R"({"usage":{"x":1},)", 1});
  {
    std::string many;
    for (int i = 0; i < 3000; ++i) {
      many += plain(20 + static_cast<std::size_t>(i * 37 % 400));
      if (i % 300 == 7) many += row_line("m" + std::to_string(i));
      if (i % 700 == 3) many += broken_line();
    }
    cases.push_back({"thousands of needle-free lines between hits", 0, many + plain(33), 10});
  }
  cases.push_back({"hits in lines longer than a read", 0,
                   plain(10) + R"({"usage":1,"t":")" + std::string(400000, 'u') + "\"}\n" +
                       plain(kRead + 5000) + row_line(std::string(300000, 'k')) + row_line("end") +
                       plain(70),
                   2});

  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LineByLine want = line_by_line(c.content, c.source);
    ASSERT_EQ(want.rows.size(), c.rows);
    ReadSummary s;
    auto state = read_ok(entry_for(dir.write("log", c.content), c.source), nullptr, &s);
    EXPECT_EQ(s.bytes_read, c.content.size());
    std::vector<std::string> got;
    for (const parser::Row& row : state->rows) got.push_back(describe(row));
    EXPECT_EQ(got, want.rows);
    EXPECT_EQ(state->offset, want.offset);
    EXPECT_EQ(state->tail.view(), want.tail);
    const parser::Counters& n = state->counters;
    for (const parser::CounterField& field : parser::kCounterFields) {
      EXPECT_EQ(n.*field.member, want.counters.*field.member) << field.name;
    }
    EXPECT_EQ(state->context.model.view(), want.model);
    EXPECT_EQ(state->context.session_id.view(), want.session);
  }
}

// A response line with the given key (none when empty), model, output
// tokens and second of the minute.
std::string response(const std::string& key, const std::string& model, int output, int second) {
  char time[8];
  std::snprintf(time, sizeof time, "%02d", second);
  return R"({"type":"assistant","timestamp":"2025-03-01T10:00:)" + std::string(time) +
         R"(Z","message":{)" + (key.empty() ? "" : R"("id":")" + key + R"(",)") + R"("model":")" +
         model + R"(","usage":{"input_tokens":3,"output_tokens":)" + std::to_string(output) +
         "}}}\n";
}

// The export of `files`, each read by the reader (in two refreshes where a
// cut is given) or, when `line_by_line_rows` is set, holding every row that
// parsing its lines in turn yields.
struct Exported {
  std::string body;
  std::vector<unsigned char> buffer;
  std::size_t stored = 0;
};
Exported export_of(const std::vector<std::pair<Input, std::size_t>>& files,
                   bool line_by_line_rows) {
  Engine engine;
  Exported out;
  for (const auto& [input, cut] : files) {
    std::unique_ptr<FileState> state;
    if (line_by_line_rows) {
      state = FileState::fresh(input);
      std::ifstream f(input.path, std::ios::binary);
      for (std::string line; std::getline(f, line);) {
        line += '\n';
        if (auto row = parser::parse(line, input.source, state->context, state->counters))
          state->rows.push_back(std::move(*row));
      }
    } else {
      Input first = input;
      first.size = cut != 0 ? cut : input.size;
      state = read_ok(first, nullptr);
      if (cut != 0) state = read_ok(input, std::move(state));
    }
    out.stored += state->rows.size();
    engine.files.insert_or_assign(std::move(state));
  }
  ExportResult result = export_state(engine);
  write_body(out.body, result, Report());
  out.buffer.assign(result.buffer.data, result.buffer.data + result.buffer.size);
  return out;
}

TEST(Reader, RepeatedResponsesAreStoredOnceWithTheSameExport) {
  TempDir dir;
  // a: one response per content block, the later lines with more output
  // (k1), as many output tokens and a later time (k2), or a tie in both
  // with another model (k3, the first stays); k4 repeats after more rows
  // than are looked back at; rows without a key are never merged.
  const std::string first_part = response("k1", "alpha-4", 2, 1) + response("k1", "alpha-4", 7, 2) +
                                 plain(90) + response("k2", "beta-3", 5, 3);
  const std::string a = first_part + response("k1", "alpha-4", 7, 1) +
                        response("k2", "gamma-2", 5, 4) + response("k3", "alpha-4", 4, 5) +
                        response("k3", "beta-3", 4, 5) + response("k4", "alpha-4", 1, 6) +
                        response("", "alpha-4", 1, 7) + response("", "alpha-4", 1, 7) +
                        response("x1", "beta-3", 1, 8) + response("x2", "beta-3", 1, 8) +
                        response("x3", "beta-3", 1, 8) + response("k4", "gamma-2", 3, 9) +
                        response("k1", "gamma-2", 6, 9);
  // b sorts after a and holds k1 again, winning on output; c holds k2 again, losing.
  const std::string b = response("k1", "mini-5-pro", 8, 0) + response("k1", "mini-5-pro", 8, 0);
  const std::string c = response("k2", "alpha-4", 5, 2);
  const std::vector<std::pair<Input, std::size_t>> files = {
      {entry_for(dir.write("a.jsonl", a)), first_part.size()},
      {entry_for(dir.write("b.jsonl", b)), 0},
      {entry_for(dir.write("c.jsonl", c)), 0},
  };
  const Exported all_rows = export_of(files, true);
  const Exported read = export_of(files, false);
  EXPECT_EQ(all_rows.stored, 18u);
  // a keeps k1, k2, k3, k4, two keyless rows, x1-x3, and k4 and k1 once more
  // (out of reach of the look-back); b and c one row each.
  EXPECT_EQ(read.stored, 13u);
  EXPECT_EQ(read.body, all_rows.body);
  EXPECT_EQ(read.buffer, all_rows.buffer);
  EXPECT_NE(read.body.find(R"("rows":9)"), std::string::npos) << read.body;
}

TEST(Reader, ChangedFilesAreReadAgainFromTheStart) {
  TempDir dir;
  std::string a = row_line("a1"), b = row_line("a2");

  struct Case {
    const char* name;
    // Changes the file on disk and/or the manifest entry.
    void (*change)(const TempDir&, Input&);
    const char* first_key;  // of the state read anew; null: no rows
  };
  const Case cases[] = {
      {"same size, new time",
       [](const TempDir& d, Input& in) {
         d.write("log", row_line("b1") + "123456789\n" + row_line("b2"));
         in.mtime_ns += 1;
       },
       "b1"},
      {"truncated",
       [](const TempDir& d, Input& in) {
         d.write("log", row_line("b1"));
         in.size = row_line("b1").size();
       },
       "b1"},
      {"truncated to nothing",
       [](const TempDir& d, Input& in) {
         d.write("log", "");
         in.size = 0;
       },
       nullptr},
      {"new identity, grown",
       [](const TempDir& d, Input& in) {
         d.write("log", row_line("b1") + row_line("b2") + row_line("b3"));
         in.size = 3 * row_line("b1").size();
         in.identity = "other";
       },
       "b1"},
      {"grown, but the bytes before the old offset differ",
       [](const TempDir& d, Input& in) {
         d.write("log", row_line("a1") + row_line("b2") + row_line("b3"));
         in.size = 3 * row_line("b1").size();
       },
       "a1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.write("log", a + broken_line() + b);
    Input in = entry_for(path);
    auto state = read_ok(in, nullptr);
    ASSERT_EQ(state->counters.malformed, 1u);

    c.change(dir, in);
    ReadSummary s;
    state = read_ok(in, std::move(state), &s);
    EXPECT_TRUE(s.rebuilt);
    EXPECT_TRUE(s.rows_changed);
    EXPECT_EQ(s.bytes_read, in.size);
    EXPECT_EQ(state->counters.malformed, 0u);  // the old counts went with the old state
    if (c.first_key == nullptr) {
      EXPECT_TRUE(state->rows.empty());
    } else {
      ASSERT_FALSE(state->rows.empty());
      EXPECT_EQ(state->rows.front().key(), c.first_key);
    }
    EXPECT_EQ(state->offset, in.size);
  }
}

TEST(Reader, GrowthWithAnUnchangedTailIsContinuedWhateverTheTime) {
  TempDir dir;
  std::string path = dir.write("log", row_line("a1"));
  Input in = entry_for(path);
  auto state = read_ok(in, nullptr);

  dir.append("log", row_line("a2"));
  Input grown = entry_for(path);
  grown.mtime_ns = in.mtime_ns + 7;
  grown.project = "ignored";
  ReadSummary s;
  state = read_ok(grown, std::move(state), &s);
  EXPECT_FALSE(s.rebuilt);
  EXPECT_EQ(s.bytes_read, row_line("a2").size());
  EXPECT_EQ(state->mtime_ns, grown.mtime_ns);
  EXPECT_EQ(state->context.project.view(), "proj");  // carried over, not refreshed
  EXPECT_EQ(keys(*state), (std::vector<std::string>{"a1", "a2"}));
}

TEST(Reader, OpenFailuresHandThePreviousStateBack) {
  TempDir dir;
  std::string path = dir.write("log", row_line("a1"));
  auto previous = read_ok(entry_for(path), nullptr);
  FileState* raw = previous.get();

  Input missing = entry_for(dir.path("nope"));
  WorkerResult r = run(missing);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.error, "No such file or directory (os error 2)");
  EXPECT_EQ(r.state.get(), nullptr);

  Input moved = entry_for(path);
  moved.path = dir.path("nope");
  r = run(moved, std::move(previous));
  EXPECT_TRUE(r.failed);
  ASSERT_EQ(r.state.get(), raw);
  EXPECT_EQ(r.state->path(), path);  // untouched, old entry included
  EXPECT_EQ(r.state->rows.size(), 1u);

  Input nul = entry_for(path);
  nul.path = path + std::string("\0x", 2);
  r = run(nul, std::move(r.state));
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.error, "file name contained an unexpected NUL byte");
  EXPECT_EQ(r.path, nul.path);
  EXPECT_EQ(r.state.get(), raw);
}

TEST(Reader, ReadErrorsKeepTheWorkingStateMarkedForAnotherRead) {
  // A regular file whose reads fail: the process's own memory, read from
  // address 0, which is never mapped.
#if !defined(__linux__)
  GTEST_SKIP() << "needs Linux's /proc/self/mem, a regular file whose reads fail";
#endif
  Input in;
  in.path = "/proc/self/mem";
  in.size = 4096;
  in.identity = "mem";
  in.mtime_ns = 7;

  WorkerResult r = run(in);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.error, "Input/output error (os error 5)");
  ASSERT_NE(r.state.get(), nullptr);
  EXPECT_EQ(r.state->mtime_ns, 0u);
  EXPECT_EQ(r.state->identity(), in.identity);
  EXPECT_EQ(r.state->offset, 0u);
  EXPECT_TRUE(r.state->retry);

  // A later read that succeeds clears the mark.
  TempDir dir;
  Input good = entry_for(dir.write("log", row_line("a1")));
  good.identity = "mem";
  ReadSummary summary;
  std::unique_ptr<FileState> state = read_ok(good, std::move(r.state), &summary);
  EXPECT_FALSE(state->retry);
  EXPECT_EQ(keys(*state), (std::vector<std::string>{"a1"}));
}

TEST(Reader, FilesThatAreNotRegularAreRefusedAtOpen) {
  TempDir dir;
  std::string path = dir.write("log", row_line("a1"));
  std::string sub = dir.path("subdir");
  ASSERT_TRUE(std::filesystem::create_directory(testing::fs_path(sub)));
  struct Case {
    std::string path;
    const char* error;
  };
  std::vector<Case> cases = {{sub, "Is a directory (os error 21)"}};
#if defined(_WIN32)
  cases.push_back({"NUL", "not a regular file (character device)"});
#else
  cases.push_back({"/dev/null", "not a regular file (character device)"});
  // A named pipe without a writer: opening it to read would wait for one.
  const std::string fifo = dir.path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  cases.push_back({fifo, "not a regular file (named pipe)"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto previous = read_ok(entry_for(path), nullptr);
    FileState* raw = previous.get();
    Input odd = entry_for(path);
    odd.path = c.path;
    odd.size = 100;
    WorkerResult r = run(odd, std::move(previous));
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.state.get(), raw);  // handed back as it was
    EXPECT_EQ(r.state->path(), path);
  }
}

TEST(Reader, WorkersTakeJobsFromTheEnd) {
  TempDir dir;
  JobList list;
  for (const char* name : {"first", "second", "third"}) {
    list.jobs.push_back(Job{entry_for(dir.write(name, row_line(name))), nullptr});
  }
  std::vector<WorkerResult> results = run_worker(list);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].path, dir.path("third"));
  EXPECT_EQ(results[1].path, dir.path("second"));
  EXPECT_EQ(results[2].path, dir.path("first"));
  EXPECT_TRUE(list.jobs.empty());
  EXPECT_TRUE(run_worker(list).empty());
}

TEST(Reader, AWorkerThatDiesHoldingTheJobLockPoisonsIt) {
  TempDir dir;
  JobList list;
  for (const char* name : {"a", "b"}) {
    list.jobs.push_back(Job{entry_for(dir.write(name, row_line(name))), nullptr});
  }
  testing_hooks::reset();
  testing_hooks::throw_outside_job_lock = true;
  EXPECT_THROW(run_worker(list), std::runtime_error);
  EXPECT_FALSE(list.poisoned);  // died after releasing the lock

  testing_hooks::throw_under_job_lock = true;
  EXPECT_THROW(run_worker(list), std::runtime_error);
  EXPECT_TRUE(list.poisoned);
  try {
    run_worker(list);
    ADD_FAILURE() << "a poisoned job lock must stop the worker";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "job lock poisoned");
  }
  testing_hooks::reset();
}

}  // namespace
}  // namespace ledgerly::engine
