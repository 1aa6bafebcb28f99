#include "parser/json_reader.h"

#include <limits>
#include <utility>

namespace ledgerly::parser::json {

bool Reader::read_string(std::string& out) {
  std::string_view text;
  if (peek() != '"' || !Lexer::read_string(text, out)) return false;
  if (text.data() != out.data()) out.assign(text);  // unescaped: still in the line
  return true;
}

bool Reader::read_int64(std::int64_t& out) {
  Number number;
  if (!read_number(number) || !number.integer || !number.fits) return false;
  const std::uint64_t magnitude = number.magnitude;
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  if (number.negative) {
    if (magnitude > kLimit) return false;
    out = magnitude == kLimit ? std::numeric_limits<std::int64_t>::min()
                              : -static_cast<std::int64_t>(magnitude);
  } else {
    if (magnitude >= kLimit) return false;
    out = static_cast<std::int64_t>(magnitude);
  }
  return true;
}

bool Reader::read_value(JsonValue& out, int open) {
  switch (peek()) {
    case '{': {
      if (open >= kMaxDepth) return false;
      out.kind = JsonValue::Kind::kObject;
      Step step = enter(true);
      while (step == Step::kNext) {
        std::string key;
        if (!read_string(key) || !colon()) return false;
        out.members.emplace_back(std::move(key), JsonValue{});
        if (!read_value(out.members.back().value, open + 1)) return false;
        step = next(true);
      }
      return step == Step::kClosed;
    }
    case '[': {
      if (open >= kMaxDepth) return false;
      out.kind = JsonValue::Kind::kArray;
      Step step = enter(false);
      while (step == Step::kNext) {
        out.items.emplace_back();
        if (!read_value(out.items.back(), open + 1)) return false;
        step = next(false);
      }
      return step == Step::kClosed;
    }
    case '"': out.kind = JsonValue::Kind::kString; return read_string(out.text);
    case 't':
      out.kind = JsonValue::Kind::kBool;
      out.boolean = true;
      return read_literal("true");
    case 'f':
      out.kind = JsonValue::Kind::kBool;
      out.boolean = false;
      return read_literal("false");
    case 'n': out.kind = JsonValue::Kind::kNull; return read_literal("null");
    default: {
      Number number;
      if (!read_number(number)) return false;
      out.kind = JsonValue::Kind::kNumber;
      out.text.assign(number.text);
      return true;
    }
  }
}

}  // namespace ledgerly::parser::json
