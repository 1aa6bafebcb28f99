// The end of a skipped string: the scalar reference against a table of
// cases, and every block kernel against the reference where blocks, runs of
// backslashes and escapes meet, on exact-size heap buffers so that a read
// past the end shows up under AddressSanitizer.
#include "parser/string_end.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace ledgerly::parser {
namespace {

struct Exact {
  explicit Exact(std::string_view text) : size(text.size()), bytes(new char[text.size()]) {
    if (size != 0) std::memcpy(bytes.get(), text.data(), size);
  }
  const char* begin() const { return bytes.get(); }
  const char* end() const { return bytes.get() + size; }
  std::size_t size;
  std::unique_ptr<char[]> bytes;
};

std::vector<SearchKernel> kernels() {
  std::vector<SearchKernel> out;
  for (SearchKernel k : {SearchKernel::kScalar, SearchKernel::kSse2, SearchKernel::kAvx2})
    if (kernel_supported(k)) out.push_back(k);
  return out;
}

// The index of the closing quote, or -1 for "invalid or unterminated".
std::ptrdiff_t scalar_at(std::string_view body) {
  const Exact text(body);
  const char* q = find_string_end_scalar(text.begin(), text.end());
  return q == nullptr ? -1 : q - text.begin();
}

// Every kernel, and the inline entry point, agree with the reference.
void expect_kernels_agree(std::string_view body) {
  const Exact text(body);
  const char* want = find_string_end_scalar(text.begin(), text.end());
  for (SearchKernel k : kernels()) {
    EXPECT_EQ(find_string_end_with(k, text.begin(), text.end()), want)
        << "kernel " << static_cast<int>(k) << " on \"" << body << "\"";
  }
  EXPECT_EQ(find_string_end(text.begin(), text.end()), want) << body;
}

TEST(StringEnd, ScalarReference) {
  struct Case {
    std::string_view body;  // the bytes after the opening quote
    std::ptrdiff_t close;   // the closing quote's index, or -1
  };
  const Case cases[] = {
      {"\"", 0},
      {"abc\"rest", 3},
      {"a\\\"b\"", 4},    // an escaped quote does not end it
      {"a\\\\\"b", 3},    // an escaped backslash does not escape the quote
      {"\\\\\\\"\"", 4},  // three backslashes: the third escapes the quote
      {"\\/\\b\\f\\n\\r\\t\"", 12},
      {"\\u00e9\\uD83D\\uDE80\"", 18},  // lone surrogates are syntax, checked elsewhere
      {"\\uABCDx\"", 7},
      {"\xff\xfe\"", 2},  // UTF-8 is not checked
      {"", -1},
      {"abc", -1},      // no closing quote
      {"abc\\", -1},    // ends inside an escape
      {"abc\\\"", -1},  // ... after an escaped quote
      {"\\u12\"", -1},  // a \u escape needs four digits
      {"\\u12G4\"", -1},
      {"\\u123", -1},
      {"\\x\"", -1},  // unknown escape letters
      {"\\U0041\"", -1},
      {"\\\n\"", -1},
      {"a\tb\"", -1},  // raw control bytes
      {std::string_view("a\0\"", 3), -1},
      {"a\x1f\"", -1},
      {"a\x7f\"", 2},  // DEL is not a control byte for JSON
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scalar_at(c.body), c.close) << "\"" << c.body << "\"";
    expect_kernels_agree(c.body);
  }
}

TEST(StringEnd, EscapesAndStopsAtEveryOffsetAroundBlocks) {
  // One feature placed at every offset of a text that spans two blocks and
  // a tail, with the text cut at several lengths.
  const std::vector<std::string> features = {
      "\"",      "\\\"",   "\\\\",    "\\\\\"",   "\\\\\\\"", "\\\\\\\\\"",
      "\\u0041", "\\u004", "\\uD83D", "\\q",      "\x01",     "\\\x01",
      "\\",      "\\\\\\", "\\n\\\"", "\\\\\\\\", "\\u\"",    "\\\\u0041"};
  for (const std::string& feature : features) {
    for (std::size_t at = 0; at < 140; ++at) {
      std::string body(150, 'x');
      body.replace(at, feature.size(), feature);
      for (std::size_t cut : {at + feature.size(), at + feature.size() + 1, body.size()}) {
        const std::string head = body.substr(0, cut);
        expect_kernels_agree(head);
        expect_kernels_agree(head + "\"");
      }
    }
  }
}

TEST(StringEnd, EveryByteAsAnEscapeLetterAndAsAHexDigit) {
  // Each byte value after a backslash, and in each digit place of a \u
  // escape, with the escape inside a block, across a block end and in the
  // tail.
  for (std::size_t at : {3, 40, 58, 60, 61, 62, 63, 100}) {
    for (int b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      std::string letter(at, 'x');
      letter += '\\';
      letter += c;
      letter += std::string(80, 'x') + "\"";
      expect_kernels_agree(letter);
      for (std::size_t digit = 0; digit < 4; ++digit) {
        std::string u = std::string(at, 'x') + "\\u0a9F" + std::string(80, 'x') + "\"";
        u[at + 2 + digit] = c;
        expect_kernels_agree(u);
      }
    }
  }
}

TEST(StringEnd, BackslashRunsAcrossBlockEnds) {
  // Runs of 1 to 9 backslashes ending at every offset around the first two
  // block ends, followed by a quote: odd runs escape it, even runs do not.
  for (std::size_t run = 1; run <= 9; ++run) {
    for (std::size_t last = 50; last < 140; ++last) {
      if (last + 1 < run) continue;
      std::string body(last + 1 - run, 'y');
      body.append(run, '\\');
      body += "\"abc\"";
      body.append(70, 'z');
      body += '"';
      const auto want = static_cast<std::ptrdiff_t>(run % 2 == 0 ? last + 1 : last + 5);
      EXPECT_EQ(scalar_at(body), want) << run << " " << last;
      expect_kernels_agree(body);
    }
  }
}

TEST(StringEnd, RandomTextsOfTheStopBytes) {
  // Texts drawn mostly from the bytes that matter, so that runs, escapes
  // and faults are dense.
  static const char kBytes[] = "\\\\\\\\\"\"unbt/x0aF9\x01\x1f\x80 ";
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string body(rng() % 200, ' ');
    for (char& c : body) c = kBytes[rng() % (sizeof kBytes - 1)];
    expect_kernels_agree(body);
  }
}

}  // namespace
}  // namespace ledgerly::parser
