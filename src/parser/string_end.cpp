#include "parser/string_end.h"

#include <array>
#include <cstdint>

#include "parser/ascii.h"

#if defined(__x86_64__) && defined(__SSE2__)
#define LEDGERLY_STRING_END_X86 1
#include <immintrin.h>
#endif

namespace ledgerly::parser {
namespace {

// What may follow a backslash: 1 for the letter of a two-byte escape, 2 for
// 'u' (four hex digits follow), 0 for anything else.
constexpr std::array<std::uint8_t, 256> kEscape = [] {
  std::array<std::uint8_t, 256> t{};
  for (const unsigned char c : {'"', '\\', '/', 'b', 'f', 'n', 'r', 't'}) t[c] = 1;
  t['u'] = 2;
  return t;
}();

// Whether the escape whose letter is at `q` (after its backslash; q < end)
// is complete and valid.
inline bool escape_ok(const char* q, const char* end) noexcept {
  const std::uint8_t kind = kEscape[static_cast<unsigned char>(*q)];
  if (kind != 2) return kind == 1;
  return end - q > 4 && hex_value(q[1]) >= 0 && hex_value(q[2]) >= 0 && hex_value(q[3]) >= 0 &&
         hex_value(q[4]) >= 0;
}

// One 64-byte block: bit i stands for byte i.
struct Masks {
  std::uint64_t quote;
  std::uint64_t backslash;
  std::uint64_t control;  // bytes below 0x20
  // Filled by kernels that classify every byte (kClassified below):
  std::uint64_t letter;  // the letters that may follow a backslash
  std::uint64_t u;       // 'u'
  std::uint64_t hex;     // hex digits
};

constexpr std::uint64_t kEvenBits = 0x5555555555555555;
constexpr int kBlockContinues = 64;

// Settles the block at `p` from its masks.  `escaped_first` is 1 when the
// block's first byte is escaped by a backslash run ending the block before;
// it is updated for the next block.  Returns the closing quote's index in
// the block, kBlockContinues when the string goes on past the block, or -1
// when the string is invalid.  With kClassified the escapes are checked
// from the letter, u and hex masks; without, one by one.
template <bool kClassified>
[[gnu::always_inline]] inline int settle(const char* p, const char* end, const Masks& m,
                                         std::uint64_t& escaped_first) noexcept {
  // Backslashes that start or continue a run (an escaped first byte is the
  // end of the previous block's run, not a backslash of its own).
  const std::uint64_t bs = m.backslash & ~escaped_first;
  const std::uint64_t starts = bs & ~(bs << 1);
  // Adding a run's lowest bit to the run carries to the byte right after
  // it.  A run escapes that byte when its length is odd, that is when the
  // run starts at an even index and ends at an odd one, or the reverse.
  const std::uint64_t even_ends = (bs + (starts & kEvenBits)) & ~bs;
  std::uint64_t odd_sum;
  // An odd-started run carried out of the block: its length is odd, so
  // the next block's first byte is escaped.  (An even-started one that
  // carries out has an even length and escapes nothing.)
  const bool carries = __builtin_add_overflow(bs, starts & ~kEvenBits, &odd_sum);
  const std::uint64_t odd_ends = odd_sum & ~bs;
  const std::uint64_t escaped = (even_ends & ~kEvenBits) | (odd_ends & kEvenBits) | escaped_first;

  const std::uint64_t quotes = m.quote & ~escaped;
  // The bytes before the closing quote (all of them when there is none).
  const std::uint64_t inside = quotes != 0 ? (quotes & (0 - quotes)) - 1 : ~std::uint64_t{0};
  if ((m.control & inside) != 0) return -1;
  std::uint64_t one_by_one = escaped & inside;
  if constexpr (kClassified) {
    if ((one_by_one & ~m.letter) != 0) return -1;
    // The digits of a \u escape must be hex digits; those of an escape
    // whose digits reach past the block are checked one by one.
    const std::uint64_t u = one_by_one & m.u;
    constexpr std::uint64_t kLastFour = std::uint64_t{0xF} << 60;
    const std::uint64_t digits = (u << 1) | (u << 2) | (u << 3) | (u << 4);
    if ((digits & ~m.hex) != 0) return -1;
    one_by_one = u & kLastFour;
  }
  for (std::uint64_t e = one_by_one; e != 0; e &= e - 1) {
    if (!escape_ok(p + __builtin_ctzll(e), end)) return -1;
  }
  if (quotes != 0) return __builtin_ctzll(quotes);
  escaped_first = carries ? 1 : 0;
  return kBlockContinues;
}

#ifdef LEDGERLY_STRING_END_X86

// After the blocks: fewer than 64 bytes left from `p`.  When `p` is
// escaped, the scan restarts on the backslash before it, which then starts
// that escape (the run's other backslashes pair up among themselves).
inline const char* finish(const char* p, const char* end, std::uint64_t escaped_first) noexcept {
  return find_string_end_scalar(escaped_first != 0 ? p - 1 : p, end);
}

inline std::uint64_t bits16(__m128i eq, int shift) noexcept {
  return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << shift;
}

inline Masks masks_sse2(const char* p) noexcept {
  Masks m{0, 0, 0, 0, 0, 0};
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i low = _mm_set1_epi8(0x1F);
  for (int k = 0; k < 4; ++k) {
    const __m128i v =
        _mm_loadu_si128(static_cast<const __m128i*>(static_cast<const void*>(p + 16 * k)));
    m.quote |= bits16(_mm_cmpeq_epi8(v, quote), 16 * k);
    m.backslash |= bits16(_mm_cmpeq_epi8(v, backslash), 16 * k);
    // Unsigned v <= 0x1F  <=>  min(v, 0x1F) == v.
    m.control |= bits16(_mm_cmpeq_epi8(_mm_min_epu8(v, low), v), 16 * k);
  }
  return m;
}

const char* blocks_sse2(const char* p, const char* end) noexcept {
  std::uint64_t escaped_first = 0;
  while (end - p >= 64) {
    const int at = settle<false>(p, end, masks_sse2(p), escaped_first);
    if (at != kBlockContinues) return at < 0 ? nullptr : p + at;
    p += 64;
  }
  return finish(p, end, escaped_first);
}

__attribute__((target("avx2"))) inline std::uint64_t bits32(__m256i eq, int shift) noexcept {
  return static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(eq))) << shift;
}

// Byte classes by nibble: a byte is in a class when the entries of both
// its nibbles have the class's bit.  Bits 0-3: the letters that may follow
// a backslash (", /, \\, b, f, n, r, t, u), one bit per high nibble 2, 5, 6
// and 7; bits 4-5: hex digits (0-9 with high nibble 3; a-f and A-F with 4
// and 6, whose low nibbles 1-6 share bit 5).
constexpr std::uint8_t kLetters = 0x0F;
constexpr std::uint8_t kHex = 0x30;
constexpr std::uint8_t kByLow[16] = {0x10, 0x30, 0x3D, 0x30, 0x38, 0x38, 0x34, 0x10,
                                     0x10, 0x10, 0x00, 0x00, 0x02, 0x00, 0x04, 0x01};
constexpr std::uint8_t kByHigh[16] = {0x00, 0x00, 0x01, 0x10, 0x20, 0x02, 0x24, 0x08,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

__attribute__((target("avx2"), always_inline)) inline __m256i table32(
    const std::uint8_t* t) noexcept {
  return _mm256_broadcastsi128_si256(
      _mm_loadu_si128(static_cast<const __m128i*>(static_cast<const void*>(t))));
}

// The quote, backslash, control, letter, u and hex masks of 32 bytes.
__attribute__((target("avx2"), always_inline)) inline void classify32(__m256i v, int shift,
                                                                      Masks& m) noexcept {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  m.quote |= bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')), shift);
  m.backslash |= bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')), shift);
  // Unsigned v <= 0x1F  <=>  min(v, 0x1F) == v.
  m.control |= bits32(_mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v), shift);
  m.u |= bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('u')), shift);
  const __m256i low = _mm256_shuffle_epi8(table32(kByLow), _mm256_and_si256(v, nibble));
  const __m256i high =
      _mm256_shuffle_epi8(table32(kByHigh), _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  const __m256i classes = _mm256_and_si256(low, high);
  m.letter |=
      ~bits32(_mm256_cmpeq_epi8(_mm256_and_si256(classes, _mm256_set1_epi8(kLetters)), zero),
              shift) &
      (std::uint64_t{0xFFFFFFFF} << shift);
  m.hex |=
      ~bits32(_mm256_cmpeq_epi8(_mm256_and_si256(classes, _mm256_set1_epi8(kHex)), zero), shift) &
      (std::uint64_t{0xFFFFFFFF} << shift);
}

__attribute__((target("avx2"), always_inline)) inline Masks masks_avx2(const char* p) noexcept {
  Masks m{0, 0, 0, 0, 0, 0};
  classify32(_mm256_loadu_si256(static_cast<const __m256i*>(static_cast<const void*>(p))), 0, m);
  classify32(_mm256_loadu_si256(static_cast<const __m256i*>(static_cast<const void*>(p + 32))), 32,
             m);
  return m;
}

__attribute__((target("avx2"))) const char* blocks_avx2(const char* p, const char* end) noexcept {
  std::uint64_t escaped_first = 0;
  while (end - p >= 64) {
    const int at = settle<true>(p, end, masks_avx2(p), escaped_first);
    if (at != kBlockContinues) return at < 0 ? nullptr : p + at;
    p += 64;
  }
  return finish(p, end, escaped_first);
}

#endif  // LEDGERLY_STRING_END_X86

using Kernel = const char* (*)(const char*, const char*) noexcept;

Kernel kernel_for(SearchKernel kernel) noexcept {
  switch (kernel) {
#ifdef LEDGERLY_STRING_END_X86
    case SearchKernel::kAvx2: return blocks_avx2;
    case SearchKernel::kSse2: return blocks_sse2;
#endif
    default: return find_string_end_scalar;
  }
}

}  // namespace

const char* find_string_end_scalar(const char* p, const char* end) noexcept {
  while (p != end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') return p;
    if (c == '\\') {
      if (end - p < 2 || !escape_ok(p + 1, end)) return nullptr;
      p += kEscape[static_cast<unsigned char>(p[1])] == 2 ? 6 : 2;
    } else if (c < 0x20) {
      return nullptr;
    } else {
      ++p;
    }
  }
  return nullptr;
}

const char* find_string_end_with(SearchKernel kernel, const char* p, const char* end) noexcept {
  return kernel_for(kernel)(p, end);
}

namespace detail {

const char* find_string_end_blocks(const char* p, const char* end) noexcept {
  static const Kernel kernel = kernel_for(best_kernel());
  return kernel(p, end);
}

}  // namespace detail

}  // namespace ledgerly::parser
