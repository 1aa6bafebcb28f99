// A strict, cursor-based JSON reader over one in-memory text.
//
// The reader never builds a document: callers pull one token at a time and
// decode straight into their own records.  Every method that reads a value
// expects the cursor on the value's first byte (white space already
// skipped), advances past the value on success, and returns false on any
// malformed input; after a false return the reader's position is
// unspecified and the caller abandons the text.  Nothing reads outside the
// text; nothing throws except std::bad_alloc.
//
// Strings that are kept (read_string, read_key, strings inside read_value)
// are fully decoded: escapes resolved, \u surrogate pairs joined, lone
// surrogates rejected, UTF-8 validated.  Strings inside skip_value() are
// checked for JSON syntax only (escapes, no raw control bytes): their bytes
// are never used, so their UTF-8 is not validated.
//
// Nesting: read_value() counts containers and fails beyond kMaxDepth open
// at once (callers pass how many are already open around the value).
// skip_value() has no depth limit and does not recurse: it keeps one bit
// per open container.
#ifndef LEDGERLY_PARSER_JSON_READER_H_
#define LEDGERLY_PARSER_JSON_READER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/records.h"

namespace ledgerly::parser::json {

class Reader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) noexcept
      : p_(text.data()), end_(text.data() + text.size()) {}

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Skips JSON white space: exactly space, tab, LF and CR.
  void skip_ws() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool at_end() const noexcept { return p_ == end_; }
  // The byte under the cursor, or -1 at the end of the text.
  int peek() const noexcept { return p_ != end_ ? static_cast<unsigned char>(*p_) : -1; }
  // Advances over `c` when it is the byte under the cursor.
  bool consume(char c) noexcept {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  // Reads the literal `null`.
  bool read_null() noexcept { return consume_literal("null"); }

  // Reads a string into `out` (replacing its contents).
  bool read_string(std::string& out);
  // Reads a string (an object key) and points `key` at its decoded text;
  // the view stays valid until the next call of read_key.
  bool read_key(std::string_view& key);
  // Reads an integer in the signed 64-bit range.  A number with a fraction
  // or exponent, or out of range, fails.
  bool read_int64(std::int64_t& out) noexcept;
  // Reads any value into a tree; `open` containers already surround it.
  bool read_value(JsonValue& out, int open);
  // Validates and skips any value without building anything.
  bool skip_value();

 private:
  bool consume_literal(std::string_view word) noexcept;
  bool read_string_slow(const char* run, const char* q, std::string& out);
  bool skip_string() noexcept;
  bool skip_number() noexcept;
  // Reads `"key" ws ':' ws` of an object member being skipped.
  bool skip_member_key() noexcept;

  const char* p_;
  const char* end_;
  std::string key_scratch_;
  std::vector<std::uint64_t> deep_kinds_;  // skip_value's stack beyond its inline part
};

}  // namespace ledgerly::parser::json

#endif  // LEDGERLY_PARSER_JSON_READER_H_
