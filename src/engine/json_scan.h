// Byte scanning for the JSON string fast path: finds the next byte inside a
// string literal that the decoder has to look at (the closing quote, an
// escape, a control character or the lead byte of a multi-byte UTF-8
// sequence), sixteen bytes at a time where SSE2 is available.
#ifndef LEDGERLY_ENGINE_JSON_SCAN_H_
#define LEDGERLY_ENGINE_JSON_SCAN_H_

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledgerly::engine::json {

// True for the bytes that end a plain run inside a string literal:
// '"', '\\', 0x00-0x1F and 0x80-0xFF.
inline bool is_string_stop(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

// Returns the first p in [p, end) with is_string_stop(*p), or end.
// Reads only bytes inside [p, end).
inline const char* find_string_stop(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  // Signed compare: bytes 0x80-0xFF are negative, so "< 0x20" as signed
  // catches both the controls and every non-ASCII byte.
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote),
                                                  _mm_cmpeq_epi8(v, backslash)),
                                     _mm_cmplt_epi8(v, space));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace ledgerly::engine::json

#endif  // LEDGERLY_ENGINE_JSON_SCAN_H_
