// One-pass manifest decoder: reads the JSON text left to right straight into
// Input records, with no intermediate document.  The conventions for error
// positions, number classes and message wording are described in
// docs/manifest.md.
#include "engine/manifest.h"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cstdint>
#include <limits>

#include "engine/json_float.h"
#include "parser/utf8.h"
#include "parser/simd_scan.h"

namespace ledgerly::engine {
namespace {

// Deepest nesting of arrays and objects accepted, the manifest array and the
// entry included.  Unknown values are skipped with an explicit stack, so the
// limit bounds memory and work, not the call stack.
constexpr int kMaxDepth = 128;

enum Field : int { kPath, kSize, kIdentity, kMtime, kSource, kProject, kSub, kFieldCount };
constexpr std::string_view kFieldNames[kFieldCount] = {
    "path", "size", "identity", "mtime_ns", "source", "project", "sub"};
constexpr unsigned kAllFields = (1u << kFieldCount) - 1;

// Field named by an object key, or -1 for a key to skip.
int field_of(std::string_view key) {
  switch (key.size()) {
    case 3: return key == "sub" ? kSub : -1;
    case 4: return key == "path" ? kPath : key == "size" ? kSize : -1;
    case 6: return key == "source" ? kSource : -1;
    case 7: return key == "project" ? kProject : -1;
    case 8: return key == "identity" ? kIdentity : key == "mtime_ns" ? kMtime : -1;
    default: return -1;
  }
}

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// A JSON number sorted into the classes the messages distinguish: integers
// that fit in u64, negative integers that fit in i64 (-0 counts as the
// integer 0), and everything else, which is read as a double.
struct Number {
  enum Kind { kUnsigned, kNegative, kFloat } kind = kUnsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;
};

void append_number(std::string& out, const Number& n) {
  char buf[24];
  switch (n.kind) {
    case Number::kUnsigned: {
      out.append("integer `");
      out.append(buf, std::to_chars(buf, buf + sizeof buf, n.u).ptr);
      break;
    }
    case Number::kNegative: {
      out.append("integer `");
      out.append(buf, std::to_chars(buf, buf + sizeof buf, n.i).ptr);
      break;
    }
    case Number::kFloat:
      out.append("floating point `");
      json::append_float_text(out, n.d);
      break;
  }
  out.push_back('`');
}

class Decoder {
 public:
  Decoder(std::string_view text, std::string& error)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), error_(error) {}

  bool run(std::vector<Input>& out);

 private:
  // Records `message` with the line and column of `at` and returns false.
  bool fail(const char* at, std::string_view message);
  bool eof(std::string_view what) { return fail(end_, what); }

  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool parse_string(std::string_view& out);
  bool decode_escape();
  bool read_hex4(std::uint32_t& v);
  bool check_utf8();
  bool parse_number(Number& n);
  bool parse_literal(bool& value, bool& is_null);

  // Consumes the value at p_ and reports "invalid type: <found>, expected
  // <expected>"; a syntax error inside the value is reported instead.
  bool invalid_type(std::string_view expected);
  bool describe_value(std::string& what);

  bool skip_value(int depth);
  bool expect_colon();
  bool read_entry(Input& in);
  bool read_object_entry(Input& in);
  bool read_array_entry(Input& in);
  bool read_field(int field, Input& in);
  bool read_text(std::string& dst);
  bool read_uint(std::uint64_t& dst, std::uint64_t max, std::string_view type);
  bool read_bool(bool& dst);

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::string& error_;
  std::string scratch_;  // decoded text of the latest string that had escapes
};

bool Decoder::fail(const char* at, std::string_view message) {
  std::size_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_; q < at; ++q) {
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  }
  error_.assign(message);
  error_.append(" at line ");
  error_.append(std::to_string(line));
  error_.append(" column ");
  error_.append(std::to_string(at - line_start));
  return false;
}

// p_ is at the opening quote.  On success p_ is past the closing quote and
// `out` views the decoded text, either in the input or in scratch_ (valid
// until the next string is parsed).
bool Decoder::parse_string(std::string_view& out) {
  ++p_;
  const char* run = p_;
  bool escaped = false;
  for (;;) {
    const char* q = parser::simd::find_string_stop_or_non_ascii(p_, end_);
    if (q == end_) return eof("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(*q);
    if (c == '"') {
      if (escaped) {
        scratch_.append(run, q);
        out = scratch_;
      } else {
        out = std::string_view(run, static_cast<std::size_t>(q - run));
      }
      p_ = q + 1;
      return true;
    }
    p_ = q;
    if (c >= 0x80) {
      if (!check_utf8()) return false;
    } else if (c == '\\') {
      if (!escaped) {
        scratch_.clear();
        escaped = true;
      }
      scratch_.append(run, q);
      ++p_;
      if (!decode_escape()) return false;
      run = p_;
    } else {
      return fail(q + 1, "control character in string");
    }
  }
}

// p_ is past the backslash; appends the escaped character to scratch_.
bool Decoder::decode_escape() {
  if (p_ == end_) return eof("EOF while parsing a string");
  const char c = *p_++;
  switch (c) {
    case '"': case '\\': case '/': scratch_.push_back(c); return true;
    case 'b': scratch_.push_back('\b'); return true;
    case 'f': scratch_.push_back('\f'); return true;
    case 'n': scratch_.push_back('\n'); return true;
    case 'r': scratch_.push_back('\r'); return true;
    case 't': scratch_.push_back('\t'); return true;
    case 'u': break;
    default: return fail(p_, "invalid escape");
  }
  std::uint32_t cp = 0;
  if (!read_hex4(cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(p_, "lone surrogate in string");
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return fail(p_, "lone surrogate in string");
    p_ += 2;
    std::uint32_t low = 0;
    if (!read_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(p_, "lone surrogate in string");
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  parser::json::append_utf8(scratch_, cp);
  return true;
}

bool Decoder::read_hex4(std::uint32_t& v) {
  v = 0;
  for (int k = 0; k < 4; ++k) {
    if (p_ == end_) return eof("EOF while parsing a string");
    const char c = *p_++;
    std::uint32_t d = 0;
    if (c >= '0' && c <= '9') d = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
    else return fail(p_, "invalid escape");
    v = (v << 4) | d;
  }
  return true;
}

// p_ is at a byte >= 0x80; consumes one well-formed UTF-8 sequence (no
// overlong forms, no surrogates, nothing above U+10FFFF).
bool Decoder::check_utf8() {
  const auto lead = static_cast<unsigned char>(*p_);
  int need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead == 0xE0) {
    need = 2;
    lo = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    need = 2;
  } else if (lead == 0xED) {
    need = 2;
    hi = 0x9F;
  } else if (lead == 0xF0) {
    need = 3;
    lo = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    need = 3;
  } else if (lead == 0xF4) {
    need = 3;
    hi = 0x8F;
  } else {
    return fail(p_ + 1, "invalid UTF-8 in string");
  }
  ++p_;
  for (int k = 0; k < need; ++k) {
    if (p_ == end_) return eof("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(*p_++);
    if (c < lo || c > hi) return fail(p_, "invalid UTF-8 in string");
    lo = 0x80;
    hi = 0xBF;
  }
  return true;
}

// p_ is at '-' or a digit.
bool Decoder::parse_number(Number& n) {
  const char* const start = p_;
  const bool negative = *p_ == '-';
  if (negative) ++p_;
  if (p_ == end_) return eof("EOF while parsing a value");
  std::uint64_t mag = 0;
  bool too_big = false;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) return fail(p_ + 1, "invalid number");
  } else if (is_digit(*p_)) {
    const char* const first = p_;
    do ++p_; while (p_ < end_ && is_digit(*p_));
    // Up to 19 digits always fit in 64 bits; a 20th may overflow.
    const auto count = static_cast<std::size_t>(p_ - first);
    if (count > 20) {
      too_big = true;
    } else {
      const std::size_t safe = count < 19 ? count : 19;
      for (std::size_t k = 0; k < safe; ++k) mag = mag * 10 + static_cast<unsigned>(first[k] - '0');
      if (count == 20) {
        const auto d = static_cast<unsigned>(first[19] - '0');
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
        if (mag > (kMax - d) / 10) too_big = true;
        else mag = mag * 10 + d;
      }
    }
  } else {
    return fail(p_ + 1, "invalid number");
  }
  bool is_float = too_big;
  auto digits = [this]() {
    if (p_ == end_) return eof("EOF while parsing a value");
    if (!is_digit(*p_)) return fail(p_ + 1, "invalid number");
    do ++p_; while (p_ < end_ && is_digit(*p_));
    return true;
  };
  if (p_ < end_ && *p_ == '.') {
    ++p_;
    is_float = true;
    if (!digits()) return false;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    is_float = true;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (!digits()) return false;
  }
  if (!is_float) {
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (!negative || mag == 0) {
      n.kind = Number::kUnsigned;
      n.u = mag;
      return true;
    }
    if (mag <= kMinMagnitude) {
      n.kind = Number::kNegative;
      n.i = mag == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(mag);
      return true;
    }
  }
  n.kind = Number::kFloat;
  n.d = json::read_float_text(std::string_view(start, static_cast<std::size_t>(p_ - start)));
  return true;
}

// p_ is at 't', 'f' or 'n'.
bool Decoder::parse_literal(bool& value, bool& is_null) {
  std::string_view word = *p_ == 't' ? "true" : *p_ == 'f' ? "false" : "null";
  for (const char c : word) {
    if (p_ == end_) return eof("EOF while parsing a value");
    if (*p_++ != c) return fail(p_, "invalid literal");
  }
  value = word[0] == 't';
  is_null = word[0] == 'n';
  return true;
}

bool Decoder::describe_value(std::string& what) {
  switch (*p_) {
    case '[':
      ++p_;
      what = "sequence";
      return true;
    case '{':
      ++p_;
      what = "map";
      return true;
    case '"': {
      std::string_view s;
      if (!parse_string(s)) return false;
      what = "string \"";
      what.append(s);
      what.push_back('"');
      return true;
    }
    case 't': case 'f': case 'n': {
      bool value = false;
      bool is_null = false;
      if (!parse_literal(value, is_null)) return false;
      what = is_null ? "null" : value ? "boolean `true`" : "boolean `false`";
      return true;
    }
    default:
      if (*p_ == '-' || is_digit(*p_)) {
        Number n;
        if (!parse_number(n)) return false;
        append_number(what, n);
        return true;
      }
      return fail(p_ + 1, "expected value");
  }
}

bool Decoder::invalid_type(std::string_view expected) {
  std::string what;
  if (!describe_value(what)) return false;
  std::string message = "invalid type: ";
  message.append(what);
  message.append(", expected ");
  message.append(expected);
  return fail(p_, message);
}

// Skips one well-formed value at p_ (white space already skipped, not at the
// end), found at nesting depth `depth`.  Iterative: `is_object` holds the
// kind of each open container.
bool Decoder::skip_value(int depth) {
  std::bitset<kMaxDepth> is_object;
  int open = 0;
  for (;;) {
    // At the start of a value.
    const char c = *p_;
    if (c == '[' || c == '{') {
      if (depth + open >= kMaxDepth) return fail(p_ + 1, "recursion limit exceeded");
      ++p_;
      is_object[static_cast<std::size_t>(open)] = c == '{';
      ++open;
      skip_ws();
      if (p_ == end_) return eof(c == '{' ? "EOF while parsing an object" : "EOF while parsing a list");
      if (*p_ == (c == '{' ? '}' : ']')) {
        ++p_;
        --open;
      } else if (c == '{') {
        if (*p_ != '"') return fail(p_ + 1, "key must be a string");
        std::string_view key;
        if (!parse_string(key) || !expect_colon()) return false;
        continue;
      } else {
        continue;
      }
    } else if (c == '"') {
      std::string_view s;
      if (!parse_string(s)) return false;
    } else if (c == 't' || c == 'f' || c == 'n') {
      bool value = false;
      bool is_null = false;
      if (!parse_literal(value, is_null)) return false;
    } else if (c == '-' || is_digit(c)) {
      Number n;
      if (!parse_number(n)) return false;
    } else {
      return fail(p_ + 1, "expected value");
    }
    // After a value: close containers or move to the next member.
    for (;;) {
      if (open == 0) return true;
      const bool obj = is_object[static_cast<std::size_t>(open - 1)];
      skip_ws();
      if (p_ == end_) return eof(obj ? "EOF while parsing an object" : "EOF while parsing a list");
      const char close = obj ? '}' : ']';
      if (*p_ == close) {
        ++p_;
        --open;
        continue;
      }
      if (*p_ != ',') return fail(p_ + 1, obj ? "expected `,` or `}`" : "expected `,` or `]`");
      ++p_;
      skip_ws();
      if (p_ == end_) return eof(obj ? "EOF while parsing an object" : "EOF while parsing a value");
      if (*p_ == close) return fail(p_ + 1, "trailing comma");
      if (obj) {
        if (*p_ != '"') return fail(p_ + 1, "key must be a string");
        std::string_view key;
        if (!parse_string(key) || !expect_colon()) return false;
      }
      break;
    }
  }
}

// After an object key: white space, ':', white space, and a value to come.
bool Decoder::expect_colon() {
  skip_ws();
  if (p_ == end_) return eof("EOF while parsing an object");
  if (*p_ != ':') return fail(p_ + 1, "expected `:`");
  ++p_;
  skip_ws();
  if (p_ == end_) return eof("EOF while parsing a value");
  return true;
}

bool Decoder::read_text(std::string& dst) {
  if (*p_ != '"') return invalid_type("a string");
  std::string_view s;
  if (!parse_string(s)) return false;
  dst.assign(s);
  return true;
}

bool Decoder::read_uint(std::uint64_t& dst, std::uint64_t max, std::string_view type) {
  if (*p_ != '-' && !is_digit(*p_)) {
    return invalid_type(type);
  }
  Number n;
  if (!parse_number(n)) return false;
  if (n.kind == Number::kUnsigned && n.u <= max) {
    dst = n.u;
    return true;
  }
  std::string message = n.kind == Number::kFloat ? "invalid type: " : "invalid value: ";
  append_number(message, n);
  message.append(", expected ");
  message.append(type);
  return fail(p_, message);
}

bool Decoder::read_bool(bool& dst) {
  if (*p_ == 't' || *p_ == 'f') {
    bool is_null = false;
    return parse_literal(dst, is_null);
  }
  return invalid_type("a boolean");
}

// p_ is at the value (white space skipped, not at the end).
bool Decoder::read_field(int field, Input& in) {
  switch (field) {
    case kPath: return read_text(in.path);
    case kSize: return read_uint(in.size, std::numeric_limits<std::uint64_t>::max(), "u64");
    case kIdentity: return read_text(in.identity);
    case kMtime: return read_uint(in.mtime_ns, std::numeric_limits<std::uint64_t>::max(), "u64");
    case kSource: {
      std::uint64_t v = 0;
      if (!read_uint(v, 255, "u8")) return false;
      in.source = static_cast<std::uint8_t>(v);
      return true;
    }
    case kProject: return read_text(in.project);
    default: return read_bool(in.sub);
  }
}

bool Decoder::read_object_entry(Input& in) {
  ++p_;  // '{'
  unsigned seen = 0;
  skip_ws();
  if (p_ == end_) return eof("EOF while parsing an object");
  if (*p_ != '}') {
    for (;;) {
      if (*p_ != '"') return fail(p_ + 1, "key must be a string");
      std::string_view key;
      if (!parse_string(key)) return false;
      const int field = field_of(key);
      if (field >= 0 && (seen & (1u << field)) != 0) {
        std::string message = "duplicate field `";
        message.append(key);
        message.push_back('`');
        return fail(p_, message);
      }
      if (!expect_colon()) return false;
      if (field >= 0) {
        if (!read_field(field, in)) return false;
        seen |= 1u << field;
      } else if (!skip_value(2)) {
        return false;
      }
      skip_ws();
      if (p_ == end_) return eof("EOF while parsing an object");
      if (*p_ == '}') break;
      if (*p_ != ',') return fail(p_ + 1, "expected `,` or `}`");
      ++p_;
      skip_ws();
      if (p_ == end_) return eof("EOF while parsing an object");
      if (*p_ == '}') return fail(p_ + 1, "trailing comma");
    }
  }
  ++p_;  // '}'
  if (seen != kAllFields) {
    int missing = 0;
    while ((seen & (1u << missing)) != 0) ++missing;
    std::string message = "missing field `";
    message.append(kFieldNames[missing]);
    message.push_back('`');
    return fail(p_, message);
  }
  return true;
}

bool Decoder::read_array_entry(Input& in) {
  ++p_;  // '['
  skip_ws();
  if (p_ == end_) return eof("EOF while parsing a list");
  int count = 0;
  if (*p_ != ']') {
    for (;;) {
      if (!read_field(count, in)) return false;
      ++count;
      skip_ws();
      if (p_ == end_) return eof("EOF while parsing a list");
      if (*p_ == ']') break;
      if (*p_ != ',') return fail(p_ + 1, "expected `,` or `]`");
      ++p_;
      skip_ws();
      // A comma after the last field: only a closing bracket (a trailing
      // comma) is told apart; anything else, the end included, is extra.
      if (p_ == end_) return eof(count == kFieldCount ? "trailing characters" : "EOF while parsing a value");
      if (*p_ == ']') return fail(p_ + 1, "trailing comma");
      if (count == kFieldCount) return fail(p_ + 1, "trailing characters");
    }
  }
  ++p_;  // ']'
  if (count < kFieldCount) {
    std::string message = "invalid length ";
    message.append(std::to_string(count));
    message.append(", expected struct Input with 7 elements");
    return fail(p_, message);
  }
  return true;
}

bool Decoder::read_entry(Input& in) {
  if (*p_ == '{') return read_object_entry(in);
  if (*p_ == '[') return read_array_entry(in);
  return invalid_type("struct Input");
}

bool Decoder::run(std::vector<Input>& out) {
  skip_ws();
  if (p_ == end_) return eof("EOF while parsing a value");
  if (*p_ != '[') return invalid_type("a sequence");
  ++p_;
  // A realistic entry takes well over 100 bytes of text; the cap keeps a
  // huge text of little content from reserving memory it will not use.
  constexpr std::size_t kMaxReserve = std::size_t{1} << 16;
  out.reserve(std::min(static_cast<std::size_t>(end_ - p_) / 128 + 1, kMaxReserve));
  skip_ws();
  if (p_ == end_) return eof("EOF while parsing a list");
  if (*p_ != ']') {
    for (;;) {
      Input& in = out.emplace_back();
      if (!read_entry(in)) return false;
      skip_ws();
      if (p_ == end_) return eof("EOF while parsing a list");
      if (*p_ == ']') break;
      if (*p_ != ',') return fail(p_ + 1, "expected `,` or `]`");
      ++p_;
      skip_ws();
      if (p_ == end_) return eof("EOF while parsing a value");
      if (*p_ == ']') return fail(p_ + 1, "trailing comma");
    }
  }
  ++p_;  // ']'
  skip_ws();
  if (p_ != end_) return fail(p_ + 1, "trailing characters");
  return true;
}

}  // namespace

bool decode_manifest(std::string_view text, std::vector<Input>& out, std::string& error) {
  out.clear();
  return Decoder(text, error).run(out);
}

}  // namespace ledgerly::engine
