#include "parser/search.h"

#include <cstring>

#include "platform/cpu.h"

#if defined(__x86_64__) && defined(__SSE2__)
#define LEDGERLY_SEARCH_X86 1
#include <immintrin.h>
#endif

namespace ledgerly::parser {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// True when a needle of `set` starts at `pos`.  Checks the length first, so
// candidates near the end of `hay` never read past it.
inline bool match_at(const char* hay, std::size_t n, std::size_t pos, const NeedleSet& set) {
  for (std::size_t j = 0; j < set.count(); ++j) {
    const std::string_view text = set[j].text;
    if (text.size() <= n - pos && std::memcmp(hay + pos, text.data(), text.size()) == 0)
      return true;
  }
  return false;
}

// Positions from `pos` on, one first-byte hit at a time.
std::size_t scan_scalar(const char* hay, std::size_t n, std::size_t pos, const NeedleSet& set) {
  const std::size_t min_size = set.min_size();
  while (n - pos >= min_size) {
    const void* hit = std::memchr(hay + pos, set.first(), n - pos - min_size + 1);
    if (hit == nullptr) return kNone;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - hay);
    if (match_at(hay, n, pos, set)) return pos;
    ++pos;
  }
  return kNone;
}

#ifdef LEDGERLY_SEARCH_X86

// The first candidate of `mask` (bit k = position base + k, lowest bit
// first) where a needle starts, or kNone.
inline std::size_t confirm(std::uint32_t mask, const char* hay, std::size_t n, std::size_t base,
                           const NeedleSet& set) {
  while (mask != 0) {
    const std::size_t pos = base + static_cast<std::size_t>(__builtin_ctz(mask));
    if (match_at(hay, n, pos, set)) return pos;
    mask &= mask - 1;
  }
  return kNone;
}

// Both vector kernels take the number of needles as a template argument so
// the per-block OR of anchor comparisons is fully unrolled.

// Candidate mask of 16 start positions at `p`: first byte matches and the
// anchor byte of at least one needle matches.
template <std::size_t N>
inline __m128i block_sse2(const char* p, __m128i first, const __m128i* anchor_byte,
                          const std::size_t* anchor_at) {
  __m128i any = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + anchor_at[0])),
                               anchor_byte[0]);
  for (std::size_t j = 1; j < N; ++j)
    any = _mm_or_si128(
        any, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + anchor_at[j])),
                            anchor_byte[j]));
  return _mm_and_si128(any,
                       _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), first));
}

template <std::size_t N>
std::size_t scan_sse2(const char* hay, std::size_t n, const NeedleSet& set) {
  // A block of 16 start positions at `i` loads bytes up to i + max_anchor + 15,
  // so blocks may start at 0..last.  Two blocks per step, then at most one
  // more, then the scalar tail.
  const std::size_t span = set.max_anchor() + 16;
  std::size_t i = 0;
  if (n >= span) {
    const std::size_t last = n - span;
    const __m128i first = _mm_set1_epi8(set.first());
    __m128i anchor_byte[N];
    std::size_t anchor_at[N];
    for (std::size_t j = 0; j < N; ++j) {
      anchor_at[j] = set[j].anchor;
      anchor_byte[j] = _mm_set1_epi8(set[j].text[set[j].anchor]);
    }
    for (; i + 16 <= last; i += 32) {
      const __m128i a = block_sse2<N>(hay + i, first, anchor_byte, anchor_at);
      const __m128i b = block_sse2<N>(hay + i + 16, first, anchor_byte, anchor_at);
      if (_mm_movemask_epi8(_mm_or_si128(a, b)) == 0) continue;
      const auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(a)) |
                        static_cast<std::uint32_t>(_mm_movemask_epi8(b)) << 16;
      const std::size_t pos = confirm(mask, hay, n, i, set);
      if (pos != kNone) return pos;
    }
    if (i <= last) {
      const auto mask = static_cast<std::uint32_t>(
          _mm_movemask_epi8(block_sse2<N>(hay + i, first, anchor_byte, anchor_at)));
      const std::size_t pos = mask != 0 ? confirm(mask, hay, n, i, set) : kNone;
      if (pos != kNone) return pos;
      i += 16;
    }
  }
  return scan_scalar(hay, n, i, set);
}

// Candidate mask of 32 start positions at `p`: first byte matches and the
// anchor byte of at least one needle matches.
template <std::size_t N>
__attribute__((target("avx2"), always_inline)) inline __m256i block_avx2(
    const char* p, __m256i first, const __m256i* anchor_byte, const std::size_t* anchor_at) {
  __m256i any = _mm256_cmpeq_epi8(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + anchor_at[0])), anchor_byte[0]);
  for (std::size_t j = 1; j < N; ++j)
    any = _mm256_or_si256(
        any,
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + anchor_at[j])),
                          anchor_byte[j]));
  return _mm256_and_si256(
      any, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), first));
}

template <std::size_t N>
__attribute__((target("avx2"))) std::size_t scan_avx2(const char* hay, std::size_t n,
                                                      const NeedleSet& set) {
  // A block of 32 start positions at `i` loads bytes up to i + max_anchor + 31,
  // so blocks may start at 0..last.  Two blocks per step, then at most one
  // more, then the scalar tail.
  const std::size_t span = set.max_anchor() + 32;
  std::size_t i = 0;
  if (n >= span) {
    const std::size_t last = n - span;
    const __m256i first = _mm256_set1_epi8(set.first());
    __m256i anchor_byte[N];
    std::size_t anchor_at[N];
    for (std::size_t j = 0; j < N; ++j) {
      anchor_at[j] = set[j].anchor;
      anchor_byte[j] = _mm256_set1_epi8(set[j].text[set[j].anchor]);
    }
    for (; i + 32 <= last; i += 64) {
      const __m256i a = block_avx2<N>(hay + i, first, anchor_byte, anchor_at);
      const __m256i b = block_avx2<N>(hay + i + 32, first, anchor_byte, anchor_at);
      const __m256i both = _mm256_or_si256(a, b);
      if (_mm256_testz_si256(both, both)) continue;
      const auto mask_a = static_cast<std::uint32_t>(_mm256_movemask_epi8(a));
      std::size_t pos = mask_a != 0 ? confirm(mask_a, hay, n, i, set) : kNone;
      if (pos != kNone) return pos;
      const auto mask_b = static_cast<std::uint32_t>(_mm256_movemask_epi8(b));
      pos = mask_b != 0 ? confirm(mask_b, hay, n, i + 32, set) : kNone;
      if (pos != kNone) return pos;
    }
    if (i <= last) {
      const __m256i a = block_avx2<N>(hay + i, first, anchor_byte, anchor_at);
      const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(a));
      const std::size_t pos = mask != 0 ? confirm(mask, hay, n, i, set) : kNone;
      if (pos != kNone) return pos;
      i += 32;
    }
  }
  return scan_scalar(hay, n, i, set);
}

std::size_t run_sse2(const char* hay, std::size_t n, const NeedleSet& set) {
  switch (set.count()) {
    case 1: return scan_sse2<1>(hay, n, set);
    case 2: return scan_sse2<2>(hay, n, set);
    case 3: return scan_sse2<3>(hay, n, set);
    default: return scan_sse2<4>(hay, n, set);
  }
}

std::size_t run_avx2(const char* hay, std::size_t n, const NeedleSet& set) {
  switch (set.count()) {
    case 1: return scan_avx2<1>(hay, n, set);
    case 2: return scan_avx2<2>(hay, n, set);
    case 3: return scan_avx2<3>(hay, n, set);
    default: return scan_avx2<4>(hay, n, set);
  }
}

#endif  // LEDGERLY_SEARCH_X86

SearchKernel detect_kernel() noexcept {
#ifdef LEDGERLY_SEARCH_X86
  return platform::cpu_has_avx2() ? SearchKernel::kAvx2 : SearchKernel::kSse2;
#else
  return SearchKernel::kScalar;
#endif
}

}  // namespace

bool kernel_supported(SearchKernel kernel) noexcept {
  switch (kernel) {
    case SearchKernel::kScalar: return true;
#ifdef LEDGERLY_SEARCH_X86
    case SearchKernel::kSse2: return true;
    case SearchKernel::kAvx2: return best_kernel() == SearchKernel::kAvx2;
#else
    case SearchKernel::kSse2:
    case SearchKernel::kAvx2: return false;
#endif
  }
  return false;
}

SearchKernel best_kernel() noexcept {
  static const SearchKernel kernel = detect_kernel();
  return kernel;
}

std::size_t find_any_with(SearchKernel kernel, std::string_view hay,
                          const NeedleSet& set) noexcept {
  switch (kernel) {
#ifdef LEDGERLY_SEARCH_X86
    case SearchKernel::kAvx2: return run_avx2(hay.data(), hay.size(), set);
    case SearchKernel::kSse2: return run_sse2(hay.data(), hay.size(), set);
#endif
    default: return scan_scalar(hay.data(), hay.size(), 0, set);
  }
}

std::size_t find_any(std::string_view hay, const NeedleSet& set) noexcept {
  return find_any_with(best_kernel(), hay, set);
}

bool contains_any(std::string_view hay, const NeedleSet& set) noexcept {
  return find_any(hay, set) != kNone;
}

bool contains_any_with(SearchKernel kernel, std::string_view hay, const NeedleSet& set) noexcept {
  return find_any_with(kernel, hay, set) != kNone;
}

}  // namespace ledgerly::parser
