// The stat table's change test: which files were rewritten in place.
#include "engine/stat_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ledgerly::engine {
namespace {

std::string table(const std::vector<StatRecord>& records) {
  std::string out;
  for (const StatRecord& r : records) append_stat(out, r);
  return out;
}

TEST(StatTable, OnlyAMovedCtimeWithSizeAndTimeKeptIsARewrite) {
  const StatRecord a{1, 10, 100, 5000, 7000}, b{1, 11, 200, 6000, 8000}, c{2, 10, 300, 7000, 9000};
  const auto ctime = [](StatRecord r, std::int64_t t) {
    r.ctime_ns = t;
    return r;
  };
  const auto grown = [](StatRecord r) {
    r.size += 10;
    r.ctime_ns += 1;
    return r;
  };
  const auto touched = [](StatRecord r) {
    r.mtime_ns += 1;
    r.ctime_ns += 1;
    return r;
  };
  // clang-format off
  const struct { const char* name; std::vector<StatRecord> before, now; std::vector<std::uint32_t> moved; } cases[] = {
      {"unchanged", {a, b, c}, {a, b, c}, {}},
      {"rewritten in place", {a, b, c}, {a, ctime(b, 8001), c}, {1}},
      {"grown", {a, b, c}, {a, grown(b), c}, {}},
      {"written with a new time", {a, b, c}, {touched(a), b, c}, {}},
      {"reordered, one rewritten", {a, b, c}, {c, ctime(a, 1), b}, {1}},
      {"new and removed files", {a, b}, {c, ctime(b, 1)}, {1}},
      {"the same inode on another device", {a}, {ctime(StatRecord{9, 10, 100, 5000, 0}, 1)}, {}},
      {"no ctime known", {ctime(a, 0)}, {ctime(a, 5)}, {}},
      {"nothing before", {}, {a, b}, {}},
      {"a prefix kept, then moved", {a, b, c}, {a, c, ctime(b, 3)}, {2}},
  };
  // clang-format on
  for (const auto& t : cases) {
    EXPECT_EQ(moved_in_place(table(t.before), table(t.now)), t.moved) << t.name;
  }
  // A cut record is not read.
  std::string cut = table({a, b});
  cut.pop_back();
  EXPECT_EQ(moved_in_place(cut, table({a, ctime(b, 1)})), std::vector<std::uint32_t>{});
  EXPECT_EQ(table({a}).size(), kStatRecordSize);
}

}  // namespace
}  // namespace ledgerly::engine
