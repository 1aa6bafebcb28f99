// The refresh driver: planning, removal, ordering, merging, statistics,
// the export decision and the fatal errors of the worker pool.
#include "engine/driver.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "engine/export.h"
#include "engine/fatal.h"
#include "engine/record.h"
#include "engine/testing_hooks.h"
#include "temp_files.h"

namespace ledgerly::engine {
namespace {

using ledgerly::testing::broken_line;
using ledgerly::testing::entry_for;
using ledgerly::testing::row_line;
using ledgerly::testing::TempDir;

// The "scan" object of a report text.
std::string scan_of(const std::string& text) {
  std::size_t at = text.find("\"scan\":{");
  if (at == std::string::npos) return {};
  return text.substr(at + 7, text.find('}', at) - (at + 7) + 1);
}

std::uint64_t stat_of(const RefreshOutput& out, const std::string& key) {
  std::string scan = scan_of(out.text);
  std::size_t at = scan.find("\"" + key + "\":");
  if (at == std::string::npos) {
    ADD_FAILURE() << "no " << key << " in " << scan;
    return ~0ull;
  }
  return std::stoull(scan.substr(at + key.size() + 3));
}

bool updated(const RefreshOutput& out) {
  return scan_of(out.text).find("\"updated\":true") != std::string::npos;
}

// `text` as it stands inside a JSON string of the report: backslashes (of
// Windows paths) and tabs escaped.
std::string json_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

// The error list of a report, each text as escaped in the report.
std::vector<std::string> errors(const RefreshOutput& out) {
  std::string scan = scan_of(out.text);
  std::size_t begin = scan.find("\"errors\":[") + 10;
  std::size_t end = scan.find(']', begin);
  std::vector<std::string> list;
  for (std::size_t p = begin; p < end;) {
    std::size_t close = p + 1;
    while (scan[close] != '"') close += scan[close] == '\\' ? 2 : 1;
    list.push_back(scan.substr(p + 1, close - p - 1));
    p = close + 2;
  }
  return list;
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override { testing_hooks::reset(); }
  void TearDown() override { testing_hooks::reset(); }

  RefreshOutput run(std::vector<Input> manifest, std::uint64_t workers = 2, bool force = false) {
    return refresh(engine, std::move(manifest), workers, force);
  }

  Engine engine;
  TempDir dir;
};

TEST_F(Driver, OnlyChangedFilesAreRead) {
  std::string a = dir.write("a", row_line("a1") + broken_line());
  std::string b = dir.write("b", row_line("b1") + "{\"type\":");  // incomplete last line

  RefreshOutput first = run({entry_for(a), entry_for(b)});
  EXPECT_TRUE(first.buffer.has_value());
  EXPECT_EQ(stat_of(first, "scanned"), 2u);
  EXPECT_EQ(stat_of(first, "changed"), 2u);
  EXPECT_EQ(stat_of(first, "rebuilt"), 2u);
  EXPECT_EQ(stat_of(first, "bytes_read"), entry_for(a).size + entry_for(b).size);
  EXPECT_EQ(stat_of(first, "pending_files"), 1u);
  EXPECT_EQ(stat_of(first, "malformed"), 1u);
  EXPECT_TRUE(updated(first));

  // Nothing changed: no job, no export, but the whole-state sums remain.
  RefreshOutput same = run({entry_for(a), entry_for(b)});
  EXPECT_EQ(same.text.rfind("{\"scan\":{", 0), 0u);
  EXPECT_FALSE(same.buffer.has_value());
  EXPECT_EQ(stat_of(same, "changed"), 0u);
  EXPECT_EQ(stat_of(same, "bytes_read"), 0u);
  EXPECT_EQ(stat_of(same, "malformed"), 1u);
  EXPECT_EQ(stat_of(same, "pending_files"), 1u);
  EXPECT_FALSE(updated(same));

  // force exports without reading anything.
  RefreshOutput forced = run({entry_for(a), entry_for(b)}, 2, true);
  EXPECT_TRUE(forced.buffer.has_value());
  EXPECT_EQ(stat_of(forced, "changed"), 0u);
  EXPECT_FALSE(updated(forced));

  // A changed project alone is no change; growth is an append.
  Input relabelled = entry_for(b);
  relabelled.project = "elsewhere";
  dir.append("a", row_line("a2"));
  RefreshOutput grown = run({entry_for(a), relabelled});
  EXPECT_EQ(stat_of(grown, "changed"), 1u);
  EXPECT_EQ(stat_of(grown, "appended"), 1u);
  EXPECT_EQ(stat_of(grown, "bytes_read"), row_line("a2").size());
  EXPECT_TRUE(updated(grown));
  EXPECT_EQ(engine.files.at(b)->context.project.view(), "proj");
  EXPECT_EQ(engine.files.at(a)->rows.size(), 2u);

  // Same size, new time: read again from the start.
  Input touched = entry_for(a);
  touched.mtime_ns += 1;
  RefreshOutput rewritten = run({touched, entry_for(b)});
  EXPECT_EQ(stat_of(rewritten, "rebuilt"), 1u);
  EXPECT_EQ(stat_of(rewritten, "bytes_read"), touched.size);
  EXPECT_EQ(engine.files.at(a)->rows.size(), 2u);
}

TEST_F(Driver, ALineThatRepeatsAStoredResponseStillExports) {
  // The later line of a response outranks the row stored for it: the
  // stored rows do not grow, yet the export must run and show it.
  const std::string a = dir.write("a", row_line("r1"));
  RefreshOutput first = run({entry_for(a)});
  ASSERT_TRUE(first.buffer.has_value());
  dir.append("a", R"({"type":"assistant","timestamp":"2025-03-01T10:00:09Z","message":{"id":"r1",)"
                  R"("model":"alpha-4","usage":{"input_tokens":3,"output_tokens":50}}})"
                  "\n");
  RefreshOutput again = run({entry_for(a)});
  EXPECT_TRUE(updated(again));
  ASSERT_TRUE(again.buffer.has_value());
  ASSERT_EQ(again.buffer->size, record::kSize);
  std::int64_t output = 0;
  std::memcpy(&output, again.buffer->data + record::kOutputTokens * 8, sizeof output);
  EXPECT_EQ(output, 50);
  EXPECT_EQ(engine.files.at(a)->rows.size(), 1u);
}

TEST_F(Driver, FilesLeavingTheManifestAreDropped) {
  RefreshOutput empty_first = run({});
  EXPECT_TRUE(updated(empty_first));  // first refresh of an engine
  EXPECT_TRUE(empty_first.buffer.has_value());
  EXPECT_EQ(stat_of(empty_first, "removed"), 0u);

  std::string a = dir.write("a", row_line("a1"));
  std::string b = dir.write("b", row_line("b1"));
  std::string c = dir.write("c", row_line("c1"));
  run({entry_for(a), entry_for(b), entry_for(c)});

  RefreshOutput one_left = run({entry_for(b)});
  EXPECT_EQ(stat_of(one_left, "removed"), 2u);
  EXPECT_EQ(stat_of(one_left, "changed"), 0u);
  EXPECT_TRUE(updated(one_left));
  ASSERT_EQ(engine.files.size(), 1u);
  EXPECT_TRUE(engine.files.contains(b));

  RefreshOutput none = run({});
  EXPECT_EQ(stat_of(none, "removed"), 1u);
  EXPECT_TRUE(engine.files.empty());
  EXPECT_TRUE(updated(none));

  EXPECT_FALSE(updated(run({})));
}

TEST_F(Driver, DuplicatePaths) {
  // A path listed twice is stored, and counted in the sums, once: here the
  // entry merged last (the one worker takes the larger job first) has not
  // reached the broken line.
  std::string a = dir.write("a", row_line("a1") + broken_line());
  std::string b = dir.write("b", row_line("b1"));
  Input cut = entry_for(a);
  cut.size = row_line("a1").size();
  RefreshOutput first = run({cut, entry_for(b), entry_for(a)}, 1);
  EXPECT_EQ(stat_of(first, "scanned"), 3u);
  EXPECT_EQ(stat_of(first, "changed"), 3u);
  EXPECT_EQ(stat_of(first, "rebuilt"), 3u);
  EXPECT_EQ(stat_of(first, "malformed"), 0u);
  EXPECT_EQ(engine.files.size(), 2u);
  EXPECT_EQ(engine.files.at(a)->size, cut.size);

  // Both changed: the first entry continues the stored state, the second
  // finds none and reads the file anew.
  RefreshOutput both = run({entry_for(a), entry_for(a)});
  EXPECT_EQ(stat_of(both, "changed"), 2u);
  EXPECT_EQ(stat_of(both, "appended"), 1u);
  EXPECT_EQ(stat_of(both, "rebuilt"), 1u);
  EXPECT_EQ(stat_of(both, "removed"), 1u);
  EXPECT_EQ(stat_of(both, "malformed"), 1u);
  EXPECT_EQ(engine.files.at(a)->rows.size(), 1u);

  RefreshOutput unchanged = run({entry_for(a), entry_for(a)});
  EXPECT_EQ(stat_of(unchanged, "changed"), 0u);
  EXPECT_EQ(stat_of(unchanged, "malformed"), 1u);
}

TEST_F(Driver, IoErrorsAreReportedAndPlannedAgain) {
  std::string missing = dir.path("gone\tfile");
  std::string sub = dir.path("subdir");
  ASSERT_TRUE(std::filesystem::create_directory(testing::fs_path(sub)));
  Input as_dir = entry_for(sub);
  as_dir.size = 100;

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    RefreshOutput out = run({entry_for(missing), as_dir}, 1);
    EXPECT_EQ(stat_of(out, "changed"), 2u);
    EXPECT_EQ(stat_of(out, "rebuilt") + stat_of(out, "appended"), 0u);
    EXPECT_TRUE(updated(out));
    // One worker takes the larger pending size (the directory's 100) first.
    EXPECT_EQ(errors(out),
              (std::vector<std::string>{
                  json_escaped(sub) + ": Is a directory (os error 21)",
                  json_escaped(missing) + ": No such file or directory (os error 2)"}));
    EXPECT_FALSE(engine.files.contains(missing));
    EXPECT_FALSE(engine.files.contains(sub));  // refused at open: nothing stored
  }
}

TEST_F(Driver, AFileWhoseReadFailedIsReadAgainWhateverItsEntry) {
  // A host that sends mtime_ns 0 throughout: the entry of the failed file
  // is the same next time, yet the file is a job again.  Its reads fail
  // (the process's memory from address 0, never mapped).
#if !defined(__linux__)
  GTEST_SKIP() << "needs Linux's /proc/self/mem, a regular file whose reads fail";
#endif
  Input mem;
  mem.path = "/proc/self/mem";
  mem.size = 4096;
  mem.identity = "mem";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    RefreshOutput out = run({mem});
    EXPECT_EQ(stat_of(out, "changed"), 1u);
    EXPECT_EQ(errors(out),
              (std::vector<std::string>{"/proc/self/mem: Input/output error (os error 5)"}));
    EXPECT_EQ(stat_of(out, "pending_files"), 1u);
  }
}

// Hands out memory from a vector, or fails once when told to.
class TestAllocator final : public BufferAllocator {
 public:
  bool fail_next = false;
  unsigned char* allocate(std::size_t size) override {
    if (fail_next) {
      fail_next = false;
      throw std::bad_alloc();
    }
    memory_.assign(size + 1, 0);
    return memory_.data();
  }

 private:
  std::vector<unsigned char> memory_;
};

TEST_F(Driver, RunningOutOfMemoryForTheExportLeavesItToTheNextRefresh) {
  std::string a = dir.write("a", row_line("a1") + row_line("a2"));
  TestAllocator allocator;
  allocator.fail_next = true;
  EXPECT_THROW(refresh(engine, {entry_for(a)}, 1, false, &allocator), ResultOutOfMemory);
  EXPECT_TRUE(engine.export_pending);
  ASSERT_TRUE(engine.files.contains(a));  // the state is whole
  EXPECT_EQ(engine.files.at(a)->rows.size(), 2u);

  // Nothing changed on disk, yet this refresh exports, and only this one.
  RefreshOutput next = refresh(engine, {entry_for(a)}, 1, false, &allocator);
  EXPECT_EQ(stat_of(next, "changed"), 0u);
  EXPECT_TRUE(updated(next));
  ASSERT_TRUE(next.buffer.has_value());
  EXPECT_EQ(next.buffer->size, 2 * record::kSize);
  EXPECT_FALSE(engine.export_pending);
  EXPECT_FALSE(refresh(engine, {entry_for(a)}, 1, false, &allocator).buffer.has_value());
}

TEST_F(Driver, LargestPendingJobIsTakenFirst) {
  // Jobs that fail show, in the error list, the order in which the single
  // worker took them.
  auto taken_order = [this](const std::vector<Input>& manifest) {
    std::vector<std::string> order;
    for (const std::string& e : errors(run(manifest, 1)))
      order.push_back(e.substr(0, e.rfind(": ")));
    return order;
  };
  struct Sized {
    const char* name;
    std::uint64_t size;
  };
  std::vector<Input> manifest;
  for (const Sized& f :
       {Sized{"small", 10}, Sized{"big", 5000}, Sized{"tie1", 700}, Sized{"tie2", 700}}) {
    Input in = entry_for(dir.path(f.name));
    in.size = f.size;
    manifest.push_back(in);
  }
  // Equal pending sizes: the later manifest entry goes first.
  auto paths = [this](std::initializer_list<const char*> names) {
    std::vector<std::string> out;
    for (const char* name : names) out.push_back(json_escaped(dir.path(name)));
    return out;
  };
  EXPECT_EQ(taken_order(manifest), paths({"big", "tie2", "tie1", "small"}));

  // A stored file counts only the bytes after its offset: 9 of 310 here.
  std::string stored = dir.write("stored", std::string(300, 'x') + "\n");
  run({entry_for(stored)});
  Input grown = entry_for(stored);
  grown.size = 310;
  std::filesystem::remove(testing::fs_path(stored));
  Input absent = entry_for(dir.path("absent"));
  absent.size = 50;
  EXPECT_EQ(taken_order({grown, absent}), paths({"absent", "stored"}));
}

TEST_F(Driver, WorkerCountIsClampedAndIndependentOfTheJobs) {
  struct Count {
    std::uint64_t asked;
    std::uint32_t started;
  };
  for (const Count& c :
       {Count{0, 1}, Count{1, 1}, Count{7, 7}, Count{32, 32}, Count{1000, 32}, Count{~0ull, 32}}) {
    run({}, c.asked);
    EXPECT_EQ(testing_hooks::threads_started.load(), c.started) << c.asked;
  }
}

TEST_F(Driver, DeadWorkersAreFatal) {
  std::vector<Input> manifest;
  for (const char* name : {"a", "b", "c", "d"})
    manifest.push_back(entry_for(dir.write(name, row_line(name))));

  testing_hooks::throw_outside_job_lock = true;
  try {
    run(manifest, 2);
    ADD_FAILURE() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "parser worker panicked: Any { .. }");
  }

  Engine fresh;
  testing_hooks::throw_under_job_lock = true;
  try {
    refresh(fresh, manifest, 4, false);
    ADD_FAILURE() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "parser worker panicked: Any { .. }");
  }
}

TEST_F(Driver, ThreadsThatCannotStartAreFatal) {
  std::vector<Input> manifest;
  for (const char* name : {"a", "b"})
    manifest.push_back(entry_for(dir.write(name, row_line(name))));
  struct Case {
    std::uint32_t at;
    int err;
    const char* text;
  };
  for (const Case& c : {
           Case{1, EAGAIN,
                "failed to spawn thread: Os { code: 11, kind: WouldBlock, message: \"Resource "
                "temporarily unavailable\" }"},
           Case{3, ENOMEM,
                "failed to spawn thread: Os { code: 12, kind: OutOfMemory, message: \"Cannot "
                "allocate memory\" }"},
           Case{2, EPERM,
                "failed to spawn thread: Os { code: 1, kind: PermissionDenied, message: "
                "\"Operation not permitted\" }"},
       }) {
    Engine fresh;
    testing_hooks::fail_spawn_at = c.at;
    testing_hooks::fail_spawn_errno = c.err;
    try {
      refresh(fresh, manifest, 4, false);
      ADD_FAILURE() << "expected a fatal error";
    } catch (const FatalError& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
  }
}

}  // namespace
}  // namespace ledgerly::engine
