#include "engine/report.h"

#include <gtest/gtest.h>

#include <string>

namespace ledgerly::engine {
namespace {

TEST(Report, WritesEveryMemberInKeyOrder) {
  Report r;
  r.scanned = 1;
  r.changed = 2;
  r.removed = 3;
  r.bytes_read = 18446744073709551615u;
  r.rebuilt = 5;
  r.appended = 6;
  r.counters.malformed = 7;
  r.counters.invalid_usage = 8;
  r.counters.duplicate_snapshots = 9;
  r.counters.inherited_events = 10;
  r.counters.cumulative_resets = 11;
  r.pending_files = 12;
  r.unresolved_forks = 13;
  r.errors = {"/logs/a\tb.jsonl: No such file or directory",
              "/logs/\"q\".jsonl: Permission denied"};
  r.updated = true;
  std::string out = "prefix:";
  write_report(out, r);
  EXPECT_EQ(out,
            "prefix:{\"appended\":6,\"bytes_read\":18446744073709551615,\"changed\":2,"
            "\"cumulative_resets\":11,\"duplicate_snapshots\":9,"
            "\"errors\":[\"/logs/a\\tb.jsonl: No such file or directory\","
            "\"/logs/\\\"q\\\".jsonl: Permission denied\"],"
            "\"inherited_events\":10,\"invalid_usage\":8,\"malformed\":7,\"pending_files\":12,"
            "\"rebuilt\":5,\"removed\":3,\"scanned\":1,\"unresolved_forks\":13,\"updated\":true}");

  std::string empty;
  write_report(empty, Report{});
  EXPECT_EQ(empty,
            "{\"appended\":0,\"bytes_read\":0,\"changed\":0,\"cumulative_resets\":0,"
            "\"duplicate_snapshots\":0,\"errors\":[],\"inherited_events\":0,\"invalid_usage\":0,"
            "\"malformed\":0,\"pending_files\":0,\"rebuilt\":0,\"removed\":0,\"scanned\":0,"
            "\"unresolved_forks\":0,\"updated\":false}");
}

}  // namespace
}  // namespace ledgerly::engine
