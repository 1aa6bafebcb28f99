#include "engine/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ledgerly::engine {
namespace {

// The decoder's message for `text`, or "ok".
std::string message_for(const std::string& text) {
  std::vector<Input> out;
  std::string error;
  return decode_manifest(text, out, error) ? "ok" : error;
}

std::vector<Input> decode_ok(const std::string& text) {
  std::vector<Input> out{Input{}};  // must be cleared by the decoder
  std::string error;
  EXPECT_TRUE(decode_manifest(text, out, error)) << text << " -> " << error;
  return out;
}

bool same(const Input& a, const Input& b) {
  return a.path == b.path && a.size == b.size && a.identity == b.identity &&
         a.mtime_ns == b.mtime_ns && a.source == b.source && a.project == b.project &&
         a.sub == b.sub;
}

// A manifest of one array-form entry with one value replaced; `end` is set
// to the column just past that value.
std::string with_value(int field, const std::string& value, std::size_t* end = nullptr) {
  std::vector<std::string> v = {R"("a")", "1", R"("i")", "2", "0", R"("p")", "false"};
  v[static_cast<std::size_t>(field)] = value;
  std::string s = "[[";
  for (std::size_t k = 0; k < v.size(); ++k) {
    s += (k ? "," : "") + v[k];
    if (end != nullptr && k == static_cast<std::size_t>(field)) *end = s.size();
  }
  return s + "]]";
}

TEST(Manifest, ObjectAndArrayFormsInAnyKeyOrderDecodeAlike) {
  // clang-format off
  const auto entries = decode_ok(
      "[\n"
      R"( ["a.jsonl", 10, "id", 5, 0, "p", false],)" "\n"
      R"( {"path":"a.jsonl","size":10,"identity":"id","mtime_ns":5,"source":0,"project":"p","sub":false},)" "\n"
      R"( {"sub":false,"project":"p","source":0,"mtime_ns":5,"identity":"id","size":10,"path":"a.jsonl"},)" "\n"
      R"( {"note":{"a":[1,2.5e3,-0,"x",true,null,{}]},"path":"a.jsonl","note":[],"size":10,)"
      R"( "identity":"id","Sub":1,"mtime_ns":5,"source":0,"project":"p","sub":false,"":"")" "}\r\n"
      "]\n");
  // clang-format on
  ASSERT_EQ(entries.size(), 4u);
  const Input expected{"a.jsonl", 10, "id", 5, 0, "p", false};
  for (const Input& in : entries) EXPECT_TRUE(same(in, expected));
}

TEST(Manifest, ValuesAtTheirLimitsAndEscapesDecode) {
  const auto entries = decode_ok(
      R"([["", 18446744073709551615, "7:\u0041\/\"\\\b\f\n\r\t", 0, 255, "caf\u00e9 \ud83d\ude00 ü", true],)"
      R"( ["", 0, "", 18446744073709551615, 1, "", false]])");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(same(entries[0], Input{"", 18446744073709551615u, "7:A/\"\\\b\f\n\r\t", 0, 255,
                                     "caf\xc3\xa9 \xf0\x9f\x98\x80 \xc3\xbc", true}));
  EXPECT_TRUE(same(entries[1], Input{"", 0, "", 18446744073709551615u, 1, "", false}));
  // Repeated paths are kept, in text order.
  const auto repeated = decode_ok(R"([["x",1,"i",1,0,"p",false],["x",2,"i",1,0,"p",false]])");
  ASSERT_EQ(repeated.size(), 2u);
  EXPECT_EQ(repeated[0].size, 1u);
  EXPECT_EQ(repeated[1].size, 2u);
  EXPECT_TRUE(decode_ok(" \t[ \r\n] \n").empty());
}

TEST(Manifest, IntegersOfEveryLengthAroundEightDigitSteps) {
  // Digits are read eight at a time: every length, with the digit after
  // each step both plain and cut by a fraction or an exponent.
  const std::string digits = "98765432109876543210123";
  constexpr int kSize = 1;
  for (std::size_t n = 1; n <= 21; ++n) {
    const std::string number = digits.substr(0, n);
    SCOPED_TRACE(number);
    if (n < 20 || number <= "18446744073709551615") {
      const auto entries = decode_ok(with_value(kSize, number));
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].size, std::stoull(number));
    } else {
      EXPECT_NE(message_for(with_value(kSize, number)).find("floating point"), std::string::npos);
    }
    EXPECT_NE(message_for(with_value(kSize, number + ".5")).find("floating point"),
              std::string::npos);
    EXPECT_NE(message_for(with_value(kSize, number + "e1")).find("floating point"),
              std::string::npos);
    EXPECT_NE(message_for(with_value(kSize, number + "x")), "ok");
  }
}

TEST(Manifest, EntriesViewTheTextOrTheManifestsOwnCopies) {
  const std::string text =
      R"([["plain.jsonl",1,"id",2,0,"p",false],["esc\u0061ped",3,"i\\d",4,1,"q\/r",true]])";
  Manifest decoded;
  std::string error;
  ASSERT_TRUE(decode_manifest(text, decoded, error)) << error;
  const Manifest manifest = std::move(decoded);  // views survive a move
  ASSERT_EQ(manifest.entries.size(), 2u);
  const ManifestEntry& plain = manifest.entries[0];
  const ManifestEntry& escaped = manifest.entries[1];
  auto in_text = [&text](std::string_view s) {
    return s.data() >= text.data() && s.data() + s.size() <= text.data() + text.size();
  };
  EXPECT_TRUE(in_text(plain.path) && in_text(plain.identity) && in_text(plain.project));
  EXPECT_EQ(plain.path, "plain.jsonl");
  EXPECT_EQ(escaped.path, "escaped");
  EXPECT_EQ(escaped.identity, "i\\d");
  EXPECT_EQ(escaped.project, "q/r");
  EXPECT_FALSE(in_text(escaped.path) || in_text(escaped.identity) || in_text(escaped.project));
  EXPECT_TRUE(same(escaped.to_input(), Input{"escaped", 3, "i\\d", 4, 1, "q/r", true}));
}

TEST(Manifest, ShapeErrors) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n\t ", "EOF while parsing a value at line 2 column 2"},
      {"{}", "invalid type: map, expected a sequence at line 1 column 1"},
      {"  5", "invalid type: integer `5`, expected a sequence at line 1 column 3"},
      {R"("abc")", R"(invalid type: string "abc", expected a sequence at line 1 column 5)"},
      {"null", "invalid type: null, expected a sequence at line 1 column 4"},
      {"[5]", "invalid type: integer `5`, expected struct Input at line 1 column 2"},
      {"[true]", "invalid type: boolean `true`, expected struct Input at line 1 column 5"},
      {"[1.5]", "invalid type: floating point `1.5`, expected struct Input at line 1 column 4"},
      {"[[]]", "invalid length 0, expected struct Input with 7 elements at line 1 column 3"},
      {R"([["a.jsonl", 10]])",
       "invalid length 2, expected struct Input with 7 elements at line 1 column 16"},
      {"[{}]", "missing field `path` at line 1 column 3"},
      {R"([{"path":"a","identity":"i","mtime_ns":2,"source":0,"project":"p"}])",
       "missing field `size` at line 1 column 66"},
      {R"([{"Path":"a","size":1,"identity":"i","mtime_ns":2,"source":0,"project":"p","sub":true}])",
       "missing field `path` at line 1 column 86"},
      {R"([{"size":1,"size":1}])", "duplicate field `size` at line 1 column 17"},
      {R"([{"size":1,"si\u007ae":2}])", "duplicate field `size` at line 1 column 22"},
      // Trailing commas in the three places, and a value after the seventh.
      {R"([["a",1,"i",2,0,"p",false],])", "trailing comma at line 1 column 28"},
      {R"([["a",1,"i",2,0,"p",false,]])", "trailing comma at line 1 column 27"},
      {R"([["a",1,]])", "trailing comma at line 1 column 9"},
      {R"([{"path":"a",}])", "trailing comma at line 1 column 14"},
      {R"([["a",1,"i",2,0,"p",false,1]])", "trailing characters at line 1 column 27"},
      {R"([["a",1,"i",2,0,"p",false, )", "trailing characters at line 1 column 27"},
      {"[] x", "trailing characters at line 1 column 4"},
      {"[]]", "trailing characters at line 1 column 3"},
      // Positions on later lines count bytes from the start of that line.
      {"[\n  {\"path\": \"a\", \"size\": 1,\n   \"size\": 2}\n]",
       "duplicate field `size` at line 3 column 9"},
      {"[\r\n  5]", "invalid type: integer `5`, expected struct Input at line 2 column 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(message_for(c.text), c.message) << c.text;
}

TEST(Manifest, ValueKindErrors) {
  enum { kPath = 0, kSize = 1, kIdentity = 2, kSource = 4, kProject = 5, kSub = 6 };
  const struct {
    int field;
    std::string value;
    std::string message;  // without the position
  } cases[] = {
      {kSize, "10.0", "invalid type: floating point `10.0`, expected u64"},
      {kSize, "1e3", "invalid type: floating point `1000.0`, expected u64"},
      {kSize, "-1", "invalid value: integer `-1`, expected u64"},
      {kSize, "-9223372036854775808",
       "invalid value: integer `-9223372036854775808`, expected u64"},
      {kSize, "-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e18`, expected u64"},
      {kSize, "18446744073709551616",
       "invalid type: floating point `1.8446744073709552e19`, expected u64"},
      {kSize, "-0.0", "invalid type: floating point `-0.0`, expected u64"},
      {kSize, "1E400", "invalid type: floating point `inf`, expected u64"},
      {kSize, "-1e-400", "invalid type: floating point `-0.0`, expected u64"},
      {kSize, "1e16", "invalid type: floating point `1e16`, expected u64"},
      {kSize, "1e15", "invalid type: floating point `1000000000000000.0`, expected u64"},
      {kSize, "0.00012", "invalid type: floating point `0.00012`, expected u64"},
      {kSize, "15e-7", "invalid type: floating point `1.5e-6`, expected u64"},
      {kSize, "0.30000000000000004",
       "invalid type: floating point `0.30000000000000004`, expected u64"},
      {kSize, R"("10")", R"(invalid type: string "10", expected u64)"},
      {kSize, "null", "invalid type: null, expected u64"},
      {kSize, "[]", "invalid type: sequence, expected u64"},
      {kSize, R"({"a":1})", "invalid type: map, expected u64"},
      {kSource, "256", "invalid value: integer `256`, expected u8"},
      {kSource, "-1", "invalid value: integer `-1`, expected u8"},
      {kSource, "1.0", "invalid type: floating point `1.0`, expected u8"},
      {kSource, "true", "invalid type: boolean `true`, expected u8"},
      {kPath, "5", "invalid type: integer `5`, expected a string"},
      {kIdentity, "false", "invalid type: boolean `false`, expected a string"},
      {kProject, "null", "invalid type: null, expected a string"},
      {kSub, "0", "invalid type: integer `0`, expected a boolean"},
      {kSub, R"("true")", R"(invalid type: string "true", expected a boolean)"},
      {kSub, "null", "invalid type: null, expected a boolean"},
  };
  for (const auto& c : cases) {
    // The error is reported once the offending scalar has been read, or
    // only the opening bracket of an array or object.
    std::size_t column = 0;
    const std::string text = with_value(c.field, c.value, &column);
    if (c.value[0] == '[' || c.value[0] == '{') column -= c.value.size() - 1;
    EXPECT_EQ(message_for(text), c.message + " at line 1 column " + std::to_string(column)) << text;
  }
  // -0 is the integer zero.
  EXPECT_EQ(decode_ok(with_value(kSize, "-0"))[0].size, 0u);
}

TEST(Manifest, SyntaxErrors) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {R"([["a" 1]])", "expected `,` or `]` at line 1 column 7"},
      {R"([{"path" "a"}])", "expected `:` at line 1 column 10"},
      {R"([{"path":"a" "size"}])", "expected `,` or `}` at line 1 column 14"},
      {R"([{1:2}])", "key must be a string at line 1 column 3"},
      {R"([{"x":tru}])", "invalid literal at line 1 column 10"},
      {R"([[.5]])", "expected value at line 1 column 3"},
      {R"([[01]])", "invalid number at line 1 column 4"},
      {R"([[-]])", "invalid number at line 1 column 4"},
      {R"([[1.]])", "invalid number at line 1 column 5"},
      {R"([[1e+]])", "invalid number at line 1 column 6"},
      {R"([["a\q"]])", "invalid escape at line 1 column 6"},
      {R"([["a\u12g4"]])", "invalid escape at line 1 column 9"},
      {R"([["\ud800"]])", "lone surrogate in string at line 1 column 9"},
      {R"([["\udc00"]])", "lone surrogate in string at line 1 column 9"},
      {R"([["\ud800\u0041"]])", "lone surrogate in string at line 1 column 15"},
      {"[[\"a\tb\"]]", "control character in string at line 1 column 5"},
      {"[[\"a\nb\"]]", "control character in string at line 2 column 0"},
      {"[[\"\xff\"]]", "invalid UTF-8 in string at line 1 column 4"},
      {"[[\"\xc0\x80\"]]", "invalid UTF-8 in string at line 1 column 4"},
      {"[[\"\xed\xa0\x80\"]]", "invalid UTF-8 in string at line 1 column 5"},
      {"[[\"\xe2\x82\"]]", "invalid UTF-8 in string at line 1 column 6"},
      {R"([{"x":[1,]}])", "trailing comma at line 1 column 10"},
      {R"([{"x":{"a":1,}}])", "trailing comma at line 1 column 14"},
      {R"([{"x":{"a" 1}}])", "expected `:` at line 1 column 12"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {R"([["a)", "EOF while parsing a string at line 1 column 4"},
      {R"([["a",)", "EOF while parsing a value at line 1 column 6"},
      {R"([{"path":)", "EOF while parsing a value at line 1 column 9"},
      {R"([{"path":"a")", "EOF while parsing an object at line 1 column 12"},
      {R"([{"x":[{"y":)", "EOF while parsing a value at line 1 column 12"},
  };
  for (const auto& c : cases) EXPECT_EQ(message_for(c.text), c.message) << c.text;
}

// An unknown key's value is skipped whatever its depth: nesting counts only
// for what is decoded, and the skipping keeps no call stack.  Faults deep
// inside are still reported with their exact place.
TEST(Manifest, UnknownValuesAreSkippedAtAnyDepth) {
  const std::string fields =
      R"("path":"a","size":1,"identity":"i","mtime_ns":2,"source":0,"project":"p","sub":true)";
  const std::string head = "[{" + fields + ",\"x\":";
  auto repeat = [](std::string_view unit, std::size_t n) {
    std::string out;
    out.reserve(unit.size() * n);
    for (std::size_t k = 0; k < n; ++k) out += unit;
    return out;
  };
  for (const std::size_t levels : {126u, 127u, 170u, 300u, 1'000'000u}) {
    SCOPED_TRACE(levels);
    const auto arrays = decode_ok(head + repeat("[", levels) + repeat("]", levels) + "}]");
    ASSERT_EQ(arrays.size(), 1u);
    EXPECT_TRUE(same(arrays[0], Input{"a", 1, "i", 2, 0, "p", true}));
    const std::string objects =
        head + repeat("{\"k\":[", levels) + "\"\\ud83d\\ude00\"" + repeat("]}", levels) + "}]";
    EXPECT_EQ(decode_ok(objects).size(), 1u);
  }

  const std::size_t deep = 100'000;
  const std::size_t inner = head.size() + deep;  // column of the innermost value
  const struct {
    std::string text;
    std::string message;
  } faults[] = {
      {head + repeat("[", deep) + "1,]",
       "trailing comma at line 1 column " + std::to_string(inner + 3)},
      {head + repeat("[", deep) + "\"\\ud800\"",
       "lone surrogate in string at line 1 column " + std::to_string(inner + 7)},
      {head + repeat("[", deep) + repeat("]", deep - 1) + "}",
       "expected `,` or `]` at line 1 column " + std::to_string(inner + deep)},
      {head + repeat("[", deep),
       "EOF while parsing a list at line 1 column " + std::to_string(inner)},
  };
  for (const auto& f : faults) EXPECT_EQ(message_for(f.text), f.message);
}

}  // namespace
}  // namespace ledgerly::engine
