// Vectorised scanning kernels for the body of a JSON string.
//
// Contract (both functions):
//  - `p` and `end` delimit readable bytes, p <= end; nothing outside
//    [p, end) is read, so callers need no padding after their buffer.
//  - The result is the first position in [p, end) holding a byte of the
//    searched class, or `end` when there is none.
//  - Pure functions: no state, no allocation, never throw.
//
// find_string_stop() stops at the bytes that end a plain run of a JSON
// string: '"', '\\' and the control bytes 0x00-0x1F.  Used where the string
// is validated but its text is not kept, so its UTF-8 is not checked.
//
// find_string_stop_or_non_ascii() additionally stops at every byte >= 0x80,
// so a caller that must validate UTF-8 sees a pure ASCII run up to the
// result and validates the multi-byte sequence there itself.
//
// x86-64 builds use SSE2 (the baseline of the target, so no dispatch);
// other targets use a portable scalar loop with the same results.
//
// Self-contained on purpose: any JSON reader in the project may use it.
#ifndef LEDGERLY_PARSER_SIMD_SCAN_H_
#define LEDGERLY_PARSER_SIMD_SCAN_H_

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledgerly::parser::simd {

namespace detail {

inline bool is_stop(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

inline bool is_stop_or_non_ascii(unsigned char c) noexcept {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

#if defined(__SSE2__)
// Mask of the bytes of `v` that are '"', '\\' or < 0x20 (unsigned).
inline int stop_mask(__m128i v) noexcept {
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  // Unsigned v <= 0x1F  <=>  min(v, 0x1F) == v.
  const __m128i ctrl = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, slash), ctrl));
}

// Same plus every byte >= 0x80: a signed compare with 0x20 is true both
// for 0x00-0x1F and for 0x80-0xFF (negative as signed bytes).
inline int stop_or_non_ascii_mask(__m128i v) noexcept {
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
  return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, slash), low));
}

inline __m128i load16(const char* p) noexcept {
  return _mm_loadu_si128(static_cast<const __m128i*>(static_cast<const void*>(p)));
}

inline const char* first_set(const char* base, int mask) noexcept {
  return base + __builtin_ctz(static_cast<unsigned>(mask));
}
#endif

}  // namespace detail

inline const char* find_string_stop(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  // Two blocks per iteration keeps both load ports busy on long strings.
  while (end - p >= 32) {
    const __m128i a = detail::load16(p);
    const __m128i b = detail::load16(p + 16);
    const int ma = detail::stop_mask(a);
    const int mb = detail::stop_mask(b);
    if ((ma | mb) != 0) return ma != 0 ? detail::first_set(p, ma) : detail::first_set(p + 16, mb);
    p += 32;
  }
  if (end - p >= 16) {
    const int m = detail::stop_mask(detail::load16(p));
    if (m != 0) return detail::first_set(p, m);
    p += 16;
  }
#endif
  while (p < end && !detail::is_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

inline const char* find_string_stop_or_non_ascii(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  while (end - p >= 32) {
    const __m128i a = detail::load16(p);
    const __m128i b = detail::load16(p + 16);
    const int ma = detail::stop_or_non_ascii_mask(a);
    const int mb = detail::stop_or_non_ascii_mask(b);
    if ((ma | mb) != 0) return ma != 0 ? detail::first_set(p, ma) : detail::first_set(p + 16, mb);
    p += 32;
  }
  if (end - p >= 16) {
    const int m = detail::stop_or_non_ascii_mask(detail::load16(p));
    if (m != 0) return detail::first_set(p, m);
    p += 16;
  }
#endif
  while (p < end && !detail::is_stop_or_non_ascii(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace ledgerly::parser::simd

#endif  // LEDGERLY_PARSER_SIMD_SCAN_H_
