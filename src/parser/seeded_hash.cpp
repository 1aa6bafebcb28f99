// SeededHash: a folded-multiply hash over 16-byte blocks, keyed by a seed
// drawn from the operating system's random source once per table.
#include "parser/seeded_hash.h"

#include <chrono>
#include <cstring>

#include "platform/random.h"

namespace ledgerly::parser {
namespace {

constexpr std::uint64_t kMul1 = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kMul2 = 0xbf58476d1ce4e5b9ULL;
constexpr std::uint64_t kMul3 = 0x94d049bb133111ebULL;

std::uint64_t fallback_seed(const void* self) {
  // No random source at all: still differ between tables and runs.
  auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return t ^ (reinterpret_cast<std::uintptr_t>(self) * kMul1);
}

inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The two halves of the 128-bit product of `a` and `b`, xored.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ using U128 = unsigned __int128;
  const U128 product = static_cast<U128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#else
  // Four 32-bit partial products.
  const std::uint64_t a_lo = a & 0xFFFFFFFF, a_hi = a >> 32;
  const std::uint64_t b_lo = b & 0xFFFFFFFF, b_hi = b >> 32;
  const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
  const std::uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
  const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFF) + lo_hi;
  const std::uint64_t low = (middle << 32) | (lo_lo & 0xFFFFFFFF);
  const std::uint64_t high = hi_hi + (hi_lo >> 32) + (middle >> 32);
  return low ^ high;
#endif
}

inline std::uint64_t finish(std::uint64_t h) noexcept {
  h ^= h >> 30;
  h *= kMul2;
  h ^= h >> 27;
  h *= kMul3;
  h ^= h >> 31;
  return h;
}

}  // namespace

SeededHash::SeededHash() : seed_(0) {
  if (!platform::random_bytes(&seed_, sizeof seed_)) seed_ = fallback_seed(this);
}

std::size_t SeededHash::operator()(std::string_view s) const noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  // The length enters first so that texts differing only by trailing NUL
  // bytes hash apart.  Each 16-byte step folds the 128-bit product of the
  // two words, each mixed with the state or the secret key, so one
  // multiplication per 16 bytes carries every bit into the state.
  std::uint64_t h = seed_ ^ (static_cast<std::uint64_t>(n) * kMul1);
  const std::uint64_t key = (seed_ ^ kMul3) * kMul2;
  while (n >= 16) {
    h = fold(load_word(p) ^ h, load_word(p + 8) ^ key);
    p += 16;
    n -= 16;
  }
  if (n > 0) {
    char rest[16] = {};
    std::memcpy(rest, p, n);  // only the bytes that exist
    h = fold(load_word(rest) ^ h, load_word(rest + 8) ^ key);
  }
  return static_cast<std::size_t>(finish(h));
}

std::uint32_t key_hash(std::string_view key) noexcept {
  static const SeededHash hash;  // seeded once, on first use
  const std::uint64_t h = hash(key);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

}  // namespace ledgerly::parser
