// Needle search: every kernel against a naive search (the first needle
// position), at every alignment and length, on exact-size heap buffers so
// that any read past the end shows up under AddressSanitizer.
#include "parser/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "parser/parse.h"

namespace ledgerly::parser {
namespace {

constexpr NeedleSet kEvent{
    {"\"token_count\"", 3}, {"\"turn_context\"", 11}, {"\"session_meta\"", 9}};
constexpr NeedleSet kMessage{{"\"usage\"", 4}};

// A buffer holding exactly the bytes of `text`, nothing after them.
struct Exact {
  explicit Exact(std::string_view text) : size(text.size()), bytes(new char[text.size()]) {
    if (size != 0) std::memcpy(bytes.get(), text.data(), size);
  }
  std::string_view view() const { return {bytes.get(), size}; }
  std::size_t size;
  std::unique_ptr<char[]> bytes;
};

// Where the first needle of `set` starts in `hay`, or npos.
std::size_t naive(std::string_view hay, const NeedleSet& set) {
  std::size_t first = std::string_view::npos;
  for (std::size_t j = 0; j < set.count(); ++j) first = std::min(first, hay.find(set[j].text));
  return first;
}

std::vector<SearchKernel> kernels() {
  std::vector<SearchKernel> out;
  for (SearchKernel k : {SearchKernel::kScalar, SearchKernel::kSse2, SearchKernel::kAvx2})
    if (kernel_supported(k)) out.push_back(k);
  return out;
}

// Filler made of the needles' own bytes, so near-misses are everywhere.
std::string filler(std::size_t n, std::size_t seed) {
  static const char kBytes[] = "\"tokencu_rxsimag \"k\"m\"x";
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = kBytes[(i * 7 + seed * 13 + i / 5) % (sizeof kBytes - 1)];
  return s;
}

TEST(Search, EveryNeedleAtEveryPositionAndLength) {
  for (const NeedleSet* set : {&kEvent, &kMessage}) {
    for (std::size_t j = 0; j < set->count(); ++j) {
      const std::string_view needle = (*set)[j].text;
      for (std::size_t len = 0; len <= 140; ++len) {
        for (std::size_t pos = 0; pos + needle.size() <= len; ++pos) {
          std::string line = filler(len, pos + j);
          line.replace(pos, needle.size(), needle);
          const Exact exact(line);
          const std::size_t want = naive(exact.view(), *set);
          ASSERT_LE(want, pos);
          for (SearchKernel k : kernels()) {
            ASSERT_EQ(find_any_with(k, exact.view(), *set), want)
                << "kernel " << int(k) << " needle " << needle << " len " << len << " pos " << pos;
            ASSERT_TRUE(contains_any_with(k, exact.view(), *set));
          }
        }
        // The needle cut short by the end of the line is no match.
        if (len >= needle.size() - 1 && len > 0) {
          std::string line = filler(len, j);
          line.replace(len - (needle.size() - 1), needle.size() - 1,
                       needle.substr(0, needle.size() - 1));
          const Exact exact(line);
          for (SearchKernel k : kernels())
            ASSERT_EQ(find_any_with(k, exact.view(), *set), naive(exact.view(), *set))
                << "kernel " << int(k) << " cut needle " << needle << " len " << len;
        }
      }
    }
  }
}

TEST(Search, RandomLinesAgreeWithNaiveSearch) {
  std::mt19937_64 rng(20250101);
  const std::string_view alphabet = "\"tokencu_rxsimag\\ ";
  const std::vector<SearchKernel> ks = kernels();
  std::size_t hits = 0;
  for (int round = 0; round < 20000; ++round) {
    const NeedleSet& set = round % 2 ? kEvent : kMessage;
    const std::size_t len = rng() % 300;
    std::string line(len, ' ');
    for (char& c : line) c = alphabet[rng() % alphabet.size()];
    // Plant up to two needles or most of them; the later-planted one may
    // come first, so the first position and not the first needle is found.
    for (int planted = 0; planted < 2 && len > 0 && rng() % 3 == 0; ++planted) {
      const std::string_view needle = set[rng() % set.count()].text;
      const std::size_t keep = needle.size() - rng() % 2;
      if (keep <= len) line.replace(rng() % (len - keep + 1), keep, needle.substr(0, keep));
    }
    const Exact exact(line);
    const std::size_t want = naive(exact.view(), set);
    hits += want != std::string_view::npos;
    for (SearchKernel k : ks)
      ASSERT_EQ(find_any_with(k, exact.view(), set), want) << "kernel " << int(k) << ": " << line;
  }
  EXPECT_GT(hits, 1000u);  // the planted needles really exercise the match path
}

TEST(Prefilter, MatchesRawBytesOfTheDialectsNeedles) {
  struct Case {
    std::uint8_t source;
    std::string_view line;
    bool pass;
  };
  const Case cases[] = {
      {0, R"({"type":"assistant","message":{"usage":{}}})", true},
      {0, R"({"tags":["usage"]})", true},
      {0, R"({"text":"an escaped \"usage\" is no needle"})", false},
      {0, R"({"type":"assistant","message":{"\u0075sage":{}}})", false},
      {0, R"({"usage":1})", true},
      {0, R"({"usage_x":1})", false},
      {0, "{}", false},
      {0, R"("usage)", false},
      {0, R"({"type":"token_count"})", false},
      {1, R"({"type":"event_msg","payload":{"type":"token_count"}})", true},
      {7, R"({"type":"turn_context"})", true},
      {1, R"({"type":"session_meta"})", true},
      {1, R"({"type":"session_met"})", false},
      {1, R"({"usage":{}})", false},
      {1, "", false},
  };
  for (const Case& c : cases) {
    const Exact exact(c.line);
    EXPECT_EQ(prefilter(exact.view(), c.source), c.pass) << int(c.source) << " " << c.line;
  }
}

}  // namespace
}  // namespace ledgerly::parser
