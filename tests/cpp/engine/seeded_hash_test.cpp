// SeededHash: every byte and the length count, blocks count in their
// place, and no byte outside the text is read (exact-size heap buffers
// under AddressSanitizer).
#include "engine/seeded_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace ledgerly::engine {
namespace {

std::size_t hash_exact(const SeededHash& hash, std::string_view text) {
  std::unique_ptr<char[]> bytes(new char[text.size()]);
  if (!text.empty()) std::memcpy(bytes.get(), text.data(), text.size());
  return hash(std::string_view(bytes.get(), text.size()));
}

TEST(SeededHash, EveryByteLengthAndBlockPlaceCounts) {
  const SeededHash hash(12345);
  std::set<std::size_t> seen;
  std::size_t texts = 0;
  // Every length up to three blocks and a tail, and one flipped bit at each
  // place: all distinct (a collision of 64-bit hashes here would be a flaw).
  for (std::size_t n = 0; n <= 50; ++n) {
    const std::string base(n, 'a');
    seen.insert(hash_exact(hash, base));
    ++texts;
    for (std::size_t i = 0; i < n; ++i) {
      std::string flipped = base;
      flipped[i] = static_cast<char>(flipped[i] ^ 1);
      seen.insert(hash_exact(hash, flipped));
      ++texts;
    }
  }
  EXPECT_EQ(seen.size(), texts);
  // Trailing NUL bytes, and two blocks swapped, make other texts.
  EXPECT_NE(hash(std::string_view("ab", 2)), hash(std::string_view("ab\0", 3)));
  const std::string a(16, 'x'), b(16, 'y');
  EXPECT_NE(hash(a + b), hash(b + a));
  // The same seed gives the same hash; another seed another one.
  EXPECT_EQ(hash("path/to/file.jsonl"), SeededHash(12345)("path/to/file.jsonl"));
  EXPECT_NE(hash("path/to/file.jsonl"), SeededHash(12346)("path/to/file.jsonl"));
}

}  // namespace
}  // namespace ledgerly::engine
