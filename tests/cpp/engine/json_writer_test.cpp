#include "engine/json_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace ledgerly::engine {
namespace {

TEST(JsonWriter, StringEscaping) {
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
