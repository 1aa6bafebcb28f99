// The reader of the log line decoder: a strict JSON cursor over one line,
// built on the shared lexing layer (json_lexer.h) with faults discarded,
// since a line is only ever accepted or rejected as a whole.
//
// The reader never builds a document: the decoder pulls one token at a
// time and decodes straight into its records.  Besides the lexer's tokens
// it reads object keys without a copy where it can, signed 64-bit counts,
// and whole values into a JsonValue tree (Payload.source only).  Every
// method follows the lexer's contract; after a false return the decoder
// abandons the line.
//
// Nesting: read_value() counts containers and fails beyond kMaxDepth open
// at once (callers pass how many are already open around the value).
// skip_value() has no depth limit, and checks only the JSON syntax of the
// strings it skips: their bytes are never used, so their UTF-8 is not
// validated.
#ifndef LEDGERLY_PARSER_JSON_READER_H_
#define LEDGERLY_PARSER_JSON_READER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/json_lexer.h"
#include "parser/records.h"

namespace ledgerly::parser::json {

class Reader : public Lexer<Discard> {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) noexcept : Lexer(text) {}

  // Reads the literal `null`.
  bool read_null() { return read_literal("null"); }
  // Reads a string into `out` (replacing its contents).
  bool read_string(std::string& out);
  // Reads an object key and points `key` at its decoded text; the view
  // stays valid until the next call of read_key.
  bool read_key(std::string_view& key) { return Lexer::read_key(key, key_scratch_); }
  // Reads an integer in the signed 64-bit range.  A number with a fraction
  // or exponent, or out of range, fails.
  bool read_int64(std::int64_t& out);
  // Reads any value into a tree; `open` containers already surround it.
  bool read_value(JsonValue& out, int open);
  // Validates and skips any value (after white space).
  bool skip_value() { return Lexer::skip_value<false>(spill_); }

 private:
  std::string key_scratch_;
  std::vector<std::uint64_t> spill_;  // skip_value's container kinds beyond 256 levels
};

}  // namespace ledgerly::parser::json

#endif  // LEDGERLY_PARSER_JSON_READER_H_
