// UTF-8 well-formedness, decoding and encoding: the one implementation that
// the JSON lexer (line and manifest decoders) and model-name lower-casing
// share.
//
// Well-formed means the shortest form, no UTF-16 surrogate (U+D800-U+DFFF)
// and nothing above U+10FFFF.  No function reads at or past `end`.
#ifndef LEDGERLY_PARSER_UTF8_H_
#define LEDGERLY_PARSER_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace ledgerly::parser {

// Checks the multi-byte sequence at `p` (p < end, *p >= 0x80).  Returns
//  - its length, 2 to 4, when it is well-formed;
//  - 0 when the bytes before `end` begin a well-formed sequence that `end`
//    cuts short;
//  - -k (k >= 1) when p[k - 1] is the first byte that breaks it (k = 1: the
//    lead byte itself is a stray continuation byte, 0xC0, 0xC1 or above
//    0xF4).
inline int check_utf8(const char* p, const char* end) noexcept {
  const auto lead = static_cast<unsigned char>(p[0]);
  int need;
  unsigned char lo = 0x80;  // allowed range of the next byte
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;  // shorter forms are overlong
    if (lead == 0xED) hi = 0x9F;  // beyond are the surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;  // shorter forms are overlong
    if (lead == 0xF4) hi = 0x8F;  // beyond is above U+10FFFF
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (end - p <= k) return 0;
    const auto c = static_cast<unsigned char>(p[k]);
    if (c < lo || c > hi) return -(k + 1);
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

// Decodes the well-formed sequence at `p` (p < end, any byte): returns its
// length (1 for ASCII) and sets `cp`, or returns 0 when it is not one.
inline std::size_t decode_utf8(const char* p, const char* end, char32_t& cp) noexcept {
  const auto b0 = static_cast<unsigned char>(p[0]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  const int n = check_utf8(p, end);
  const auto at = [p](int k) {
    return static_cast<char32_t>(static_cast<unsigned char>(p[k]) & 0x3F);
  };
  switch (n) {
    case 2: cp = (char32_t{b0} & 0x1F) << 6 | at(1); return 2;
    case 3: cp = (char32_t{b0} & 0x0F) << 12 | at(1) << 6 | at(2); return 3;
    case 4: cp = (char32_t{b0} & 0x07) << 18 | at(1) << 12 | at(2) << 6 | at(3); return 4;
    default: return 0;
  }
}

// Appends code point `cp` (<= 0x10FFFF, not a surrogate) in UTF-8.
inline void append_utf8(std::string& out, std::uint32_t cp) {
  char buf[4];
  std::size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_UTF8_H_
