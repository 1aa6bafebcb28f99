#include "parser/normalize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace ledgerly::parser {
namespace {

struct Case {
  std::string_view input;
  std::string_view expected;
};

void expect_key(std::string_view input, std::string_view expected) {
  SCOPED_TRACE(testing::Message() << "input: \"" << input << "\"");
  EXPECT_EQ(normalize(input), expected);
}

TEST(NormalizeTest, SuffixRules) {
  const Case cases[] = {
      {"Mini-5-Pro", "mini-5-pro"},
      {"Big-Model-4-20250514", "big-model-4"},
      {"alpha-4-5-20250929[1m]", "alpha-4-5"},
      {"model[1M]", "model"},
      {"name[1m]-20250101", "name[1m]"},
      {"x[1m][1m]", "x[1m]"},
      {"model-2025051", "model-2025051"},
      {"model-202505141", "model-202505141"},
      {"model-2025O514", "model-2025o514"},  // letter O, not a digit
      {"model-20250514-beta", "model-20250514-beta"},
      {"model-２０２５０５１４", "model-２０２５０５１４"},  // fullwidth digits are not ASCII
      {"-20250514", "unknown"},
      {"", "unknown"},
      {"[1m]", "unknown"},
      {"[1M]-20250101", "[1m]"},
      {"unknown", "unknown"},
  };
  for (const Case& c : cases) expect_key(c.input, c.expected);
}

TEST(NormalizeTest, LongAsciiNames) {
  // Many words of the word-at-a-time ASCII check, then both suffixes.
  const std::string name = std::string(300, 'A') + "-20250101[1M]";
  expect_key(name, std::string(300, 'a'));
}

TEST(NormalizeTest, UnicodeLowerCase) {
  const Case cases[] = {
      {"GROSSES ẞ", "grosses ß"},        // 3-byte capital, 2-byte small
      {"Ɐ-Model", "ɐ-model"},            // U+2C6F -> U+0250, 3 bytes -> 2
      {"İSTANBUL", "i\xCC\x87stanbul"},  // one code point -> two
      {"\u212A-9", "k-9"},               // Kelvin sign -> ASCII k
      {"ᎠᏍᎦᏯ", "ꭰꮝꭶꮿ"},          // Cherokee
      {"𐐀𐐁-20240101", "𐐨𐐩"},             // Deseret, 4-byte sequences
      {"ǅ Ⅻ Ⓐ", "ǆ ⅻ ⓐ"},                // titlecase, numerals, symbols
      {"ΆΈΉ ÀÉÎ ДЖЯ", "άέή àéî джя"},
      {"model-ÅÄÖ[1M]", "model-åäö"},
  };
  for (const Case& c : cases) expect_key(c.input, c.expected);
}

TEST(NormalizeTest, FinalSigma) {
  const Case cases[] = {
      {"ΟΔΟΣ", "οδος"},
      {"Σ", "σ"},
      {"ΣΑ", "σα"},
      {"ΑΣΑ", "ασα"},
      {"ΑΣ ΑΣ", "ας ας"},
      {"ΣΣ", "σς"},
      {"ΑΣ-20250101", "ας"},
      {"ΑΣ1", "ας1"},            // a digit is not cased
      {"1Σ", "1σ"},              // nothing cased before
      {"AΣ", "aς"},              // any cased letter counts, not only Greek
      {"ΑΣ\u0301", "ας\u0301"},  // combining accent is skipped after
      {"Α\u0301Σ", "α\u0301ς"},  // ... and before
      {"ΑΣ.", "ας."},            // full stop is case-ignorable
      {"ΑΣ'Α", "ασ'α"},          // apostrophe is skipped, then a letter
      {"Α'Σ", "α'ς"},
      {"ΑΣ\xFFΑ", "ας\xFFα"},  // a stray byte ends the word
  };
  for (const Case& c : cases) expect_key(c.input, c.expected);
}

// clang-format off
TEST(NormalizeTest, InvalidUtf8PassesThrough) {
  const Case cases[] = {
      {"A\xFF" "B", "a\xFF" "b"},
      {"A\xCE", "a\xCE"},                    // truncated at the end
      {"\xE2\x82" "A", "\xE2\x82" "a"},      // truncated in the middle
      {"\xC0\xAF" "A", "\xC0\xAF" "a"},      // overlong
      {"\xED\xA0\x80" "A", "\xED\xA0\x80" "a"},  // surrogate
      {"\xF4\x90\x80\x80" "A", "\xF4\x90\x80\x80" "a"},  // beyond U+10FFFF
      {"\x80\x80\x80\x80\x80\x80\x80\x80\x80Σ", "\x80\x80\x80\x80\x80\x80\x80\x80\x80σ"},
  };
  for (const Case& c : cases) expect_key(c.input, c.expected);
}
// clang-format on

// clang-format off
TEST(TierTest, Codes) {
  const std::pair<std::optional<std::string_view>, std::uint8_t> cases[] = {
      {"default", 1}, {"standard", 1}, {"fast", 2},     {"priority", 3}, {"flex", 4},
      {"Priority", 0}, {"Fast", 0},    {" fast", 0},    {"fast ", 0},    {"", 0},
      {"flexible", 0}, {std::nullopt, 0}, {std::string_view("fast\0", 5), 0},
  };
  // clang-format on
  for (const auto& [text, code] : cases) {
    EXPECT_EQ(tier(text), code) << (text ? *text : "<absent>");
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The committed case-mapping table must be exactly what the generator makes.
TEST(UnicodeTableTest, MatchesGenerator) {
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not available";
  const std::string source = LEDGERLY_SOURCE_DIR;
  const std::string output = testing::TempDir() + "unicode_lower_table_regenerated.cpp";
  const std::string command =
      "python3 '" + source + "/tools/gen_unicode_lower.py' '" + output + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string committed = read_file(source + "/src/parser/unicode_lower_table.cpp");
  const std::string regenerated = read_file(output);
  std::remove(output.c_str());
  ASSERT_FALSE(regenerated.empty());
  // The first line names the Unicode version of the interpreter's data.
  if (first_line(committed) != first_line(regenerated)) {
    GTEST_SKIP() << "python3 has other Unicode data: " << first_line(regenerated);
  }
  EXPECT_TRUE(committed == regenerated) << "src/parser/unicode_lower_table.cpp is stale: run "
                                           "tools/gen_unicode_lower.py";
}

}  // namespace
}  // namespace ledgerly::parser
