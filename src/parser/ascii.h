// Byte classes of ASCII text, for the JSON lexer, timestamps and model
// names.  Locale-independent, unlike <cctype>: every byte >= 0x80 is in no
// class.
#ifndef LEDGERLY_PARSER_ASCII_H_
#define LEDGERLY_PARSER_ASCII_H_

namespace ledgerly::parser {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The value of one hexadecimal digit (either case), or -1.
constexpr int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 'A'-'Z' lowered; every other byte as it is.
constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_ASCII_H_
