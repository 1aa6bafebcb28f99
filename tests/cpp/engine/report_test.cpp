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
  r.malformed = 7;
  r.invalid_usage = 8;
  r.duplicate_snapshots = 9;
  r.inherited_events = 10;
  r.cumulative_resets = 11;
  r.pending_files = 12;
  r.unresolved_forks = 13;
  r.errors = {"/logs/a\tb.jsonl: No such file or directory", "/logs/\"q\".jsonl: Permission denied"};
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

TEST(Report, StringEscaping) {
  using namespace std::string_literals;
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", R"("")"},
      {"plain/path.jsonl", R"("plain/path.jsonl")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\x00\x01\x0b\x1f"s, R"("\u0000\u0001\u000b\u001f")"},
      {"\x7f caf\xc3\xa9 \xf0\x9f\x98\x80", "\"\x7f caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"\xff\xfe", "\"\xff\xfe\""},  // bytes are passed through, never validated
      {"x\"" + std::string(100, 'y') + "\n", "\"x\\\"" + std::string(100, 'y') + "\\n\""},
  };
  for (const auto& c : cases) {
    std::string out;
    write_json_string(out, c.in);
    EXPECT_EQ(out, c.out);
  }
}

}  // namespace
}  // namespace ledgerly::engine
