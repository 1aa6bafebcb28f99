// UTF-8 validation and encoding, shared by the JSON decoders and normalisation.
//
// utf8_sequence_length(p, end): `p` < `end` points at a byte >= 0x80.
// Returns the length (2-4) of the well-formed UTF-8 sequence starting there,
// or 0 when it is not one: stray continuation byte, overlong form, UTF-16
// surrogate (U+D800-U+DFFF), value above U+10FFFF, or a sequence cut short
// by `end`.  Never reads at or past `end`.
//
// append_utf8(out, cp): appends code point `cp` (<= 0x10FFFF, not a
// surrogate) to `out` in UTF-8.
#ifndef LEDGERLY_PARSER_UTF8_H_
#define LEDGERLY_PARSER_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace ledgerly::parser::json {

inline std::size_t utf8_sequence_length(const char* p, const char* end) noexcept {
  const auto b0 = static_cast<unsigned char>(p[0]);
  const std::ptrdiff_t avail = end - p;
  auto cont = [&](std::ptrdiff_t i) {
    return (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    return avail >= 2 && cont(1) ? 2 : 0;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (avail < 3 || !cont(1) || !cont(2)) return 0;
    const auto b1 = static_cast<unsigned char>(p[1]);
    if (b0 == 0xE0 && b1 < 0xA0) return 0;  // overlong
    if (b0 == 0xED && b1 >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (avail < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    const auto b1 = static_cast<unsigned char>(p[1]);
    if (b0 == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && b1 >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;  // 0x80-0xC1 (continuation or overlong lead) and 0xF5-0xFF
}

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

}  // namespace ledgerly::parser::json

#endif  // LEDGERLY_PARSER_UTF8_H_
