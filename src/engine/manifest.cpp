// One-pass manifest decoder: reads the JSON text left to right straight into
// Input records, with no intermediate document.  Tokens come from the
// shared JSON lexer, whose faults this file words as its messages; the
// record shape, the number classes and the positions of the messages are
// described in docs/manifest.md.
#include "engine/manifest.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/json_float.h"
#include "parser/ascii.h"
#include "parser/json_lexer.h"
#include "parser/simd_scan.h"

namespace ledgerly::engine {
namespace {

enum Field : int { kPath, kSize, kIdentity, kMtime, kSource, kProject, kSub, kFieldCount };
constexpr std::string_view kFieldNames[kFieldCount] = {"path",   "size",    "identity", "mtime_ns",
                                                       "source", "project", "sub"};
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

using parser::json::Fault;
using parser::json::Step;

// The message of a fault of the shared lexer.
std::string_view message_of(Fault fault) {
  switch (fault) {
    case Fault::kEofWhileValue: return "EOF while parsing a value";
    case Fault::kEofWhileList: return "EOF while parsing a list";
    case Fault::kEofWhileObject: return "EOF while parsing an object";
    case Fault::kEofWhileString: return "EOF while parsing a string";
    case Fault::kExpectedValue: return "expected value";
    case Fault::kInvalidLiteral: return "invalid literal";
    case Fault::kInvalidNumber: return "invalid number";
    case Fault::kExpectedCommaOrBracket: return "expected `,` or `]`";
    case Fault::kExpectedCommaOrBrace: return "expected `,` or `}`";
    case Fault::kExpectedColon: return "expected `:`";
    case Fault::kKeyMustBeString: return "key must be a string";
    case Fault::kInvalidEscape: return "invalid escape";
    case Fault::kLoneSurrogate: return "lone surrogate in string";
    case Fault::kControlCharacter: return "control character in string";
    case Fault::kInvalidUtf8: return "invalid UTF-8 in string";
    case Fault::kTrailingComma: return "trailing comma";
  }
  return "invalid JSON";
}

// Sets `error` to `message` followed by the line and column of `at` in the
// text that starts at `begin`.
void set_error(std::string& error, const char* begin, const char* at, std::string_view message) {
  std::size_t line = 1;
  const char* line_start = begin;
  for (const char* q = begin; q < at; ++q) {
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  }
  error.assign(message);
  error.append(" at line ");
  error.append(std::to_string(line));
  error.append(" column ");
  error.append(std::to_string(at - line_start));
}

// The lexer's error sink: the fault's message at its place.
struct Errors {
  static constexpr bool kNamesFaults = true;
  const char* begin;
  std::string* error;
  void report(const char* at, Fault fault) const {
    set_error(*error, begin, at, message_of(fault));
  }
};

using Lexer = parser::json::Lexer<Errors>;

// A JSON number sorted into the classes the messages distinguish: integers
// that fit in u64, negative integers that fit in i64 (-0 counts as the
// integer 0), and everything else, which is read as a double.
struct Number {
  enum Kind { kUnsigned, kNegative, kFloat } kind = kUnsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;

  explicit Number(const parser::json::Number& number) {
    if (number.integer && number.fits) {
      const std::uint64_t magnitude = number.magnitude;
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (!number.negative || magnitude == 0) {
        kind = kUnsigned;
        u = magnitude;
        return;
      }
      if (magnitude <= kMinMagnitude) {
        kind = kNegative;
        i = magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                       : -static_cast<std::int64_t>(magnitude);
        return;
      }
    }
    kind = kFloat;
    d = json::read_float_text(number.text);
  }
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

bool starts_number(int c) { return c == '-' || (c >= 0 && parser::is_digit(static_cast<char>(c))); }

class Decoder {
 public:
  Decoder(std::string_view text, Manifest& out, std::string& error)
      : lex_(text, Errors{text.data(), &error}), text_(text), out_(out), error_(error) {}

  bool run();

 private:
  // Records `message` with the line and column of `at` and returns false.
  bool fail(const char* at, std::string_view message) {
    set_error(error_, text_.data(), at, message);
    return false;
  }

  // Consumes the value at the cursor and reports "invalid type: <found>,
  // expected <expected>"; a syntax error inside the value is reported
  // instead.
  bool invalid_type(std::string_view expected);
  bool describe_value(std::string& what);

  bool read_entry(ManifestEntry& in);
  bool read_object_entry(ManifestEntry& in);
  bool read_array_entry(ManifestEntry& in);
  bool read_plain_array_entry(ManifestEntry& in);
  bool read_field(int field, ManifestEntry& in);
  bool read_text(std::string_view& dst);
  bool read_uint(std::uint64_t& dst, std::uint64_t max, std::string_view type);
  bool read_bool(bool& dst);

  Lexer lex_;
  const std::string_view text_;
  Manifest& out_;
  std::string& error_;
  std::string scratch_;               // decoded text of the latest string that had escapes
  std::vector<std::uint64_t> spill_;  // container kinds of deeply nested skipped values
};

bool Decoder::describe_value(std::string& what) {
  switch (lex_.peek()) {
    case '[':
      lex_.consume('[');
      what = "sequence";
      return true;
    case '{':
      lex_.consume('{');
      what = "map";
      return true;
    case '"': {
      std::string_view s;
      if (!lex_.read_string(s, scratch_)) return false;
      what = "string \"";
      what.append(s);
      what.push_back('"');
      return true;
    }
    case 't': what = "boolean `true`"; return lex_.read_literal("true");
    case 'f': what = "boolean `false`"; return lex_.read_literal("false");
    case 'n': what = "null"; return lex_.read_literal("null");
    default:
      if (starts_number(lex_.peek())) {
        parser::json::Number number;
        if (!lex_.read_number(number)) return false;
        append_number(what, Number(number));
        return true;
      }
      return lex_.fail(lex_.pos() + 1, Fault::kExpectedValue);
  }
}

bool Decoder::invalid_type(std::string_view expected) {
  std::string what;
  if (!describe_value(what)) return false;
  std::string message = "invalid type: ";
  message.append(what);
  message.append(", expected ");
  message.append(expected);
  return fail(lex_.pos(), message);
}

bool Decoder::read_text(std::string_view& dst) {
  if (lex_.peek() != '"') return invalid_type("a string");
  std::string_view s;
  if (!lex_.read_string(s, scratch_)) return false;
  if (s.data() == scratch_.data()) {
    // Decoded from escapes: copied where it stays.  The space holds the
    // whole text, and a decoded string is never longer than its JSON form.
    if (out_.unescaped == nullptr) {
      out_.unescaped.reset(new char[text_.size()]);  // left uninitialised
      out_.unescaped_size = 0;
    }
    char* at = out_.unescaped.get() + out_.unescaped_size;
    std::memcpy(at, s.data(), s.size());
    out_.unescaped_size += s.size();
    s = std::string_view(at, s.size());
  }
  dst = s;
  return true;
}

bool Decoder::read_uint(std::uint64_t& dst, std::uint64_t max, std::string_view type) {
  if (!starts_number(lex_.peek())) return invalid_type(type);
  parser::json::Number number;
  if (!lex_.read_number(number)) return false;
  const Number n(number);
  if (n.kind == Number::kUnsigned && n.u <= max) {
    dst = n.u;
    return true;
  }
  std::string message = n.kind == Number::kFloat ? "invalid type: " : "invalid value: ";
  append_number(message, n);
  message.append(", expected ");
  message.append(type);
  return fail(lex_.pos(), message);
}

bool Decoder::read_bool(bool& dst) {
  switch (lex_.peek()) {
    case 't': dst = true; return lex_.read_literal("true");
    case 'f': dst = false; return lex_.read_literal("false");
    default: return invalid_type("a boolean");
  }
}

// The cursor is at the value (white space skipped, not at the end).
bool Decoder::read_field(int field, ManifestEntry& in) {
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

bool Decoder::read_object_entry(ManifestEntry& in) {
  unsigned seen = 0;
  Step step = lex_.enter(true);
  while (step == Step::kNext) {
    std::string_view key;
    if (!lex_.read_key(key, scratch_)) return false;
    const int field = field_of(key);
    if (field >= 0 && (seen & (1u << field)) != 0) {
      std::string message = "duplicate field `";
      message.append(key);
      message.push_back('`');
      return fail(lex_.pos(), message);
    }
    if (!lex_.colon()) return false;
    if (field >= 0) {
      if (!read_field(field, in)) return false;
      seen |= 1u << field;
    } else if (!lex_.skip_value<true>(spill_)) {
      // An unknown key's value: any well-formed value, however deep.
      return false;
    }
    step = lex_.next(true);
  }
  if (step == Step::kFailed) return false;
  if (seen != kAllFields) {
    int missing = 0;
    while ((seen & (1u << missing)) != 0) ++missing;
    std::string message = "missing field `";
    message.append(kFieldNames[missing]);
    message.push_back('`');
    return fail(lex_.pos(), message);
  }
  return true;
}

bool Decoder::read_array_entry(ManifestEntry& in) {
  int count = 0;
  Step step = lex_.enter(false);
  while (step == Step::kNext) {
    if (!read_field(count, in)) return false;
    ++count;
    step = lex_.after_element(false);
    if (step != Step::kNext) break;
    if (count < kFieldCount) {
      if (!lex_.after_comma(false)) return false;
      continue;
    }
    // A comma after the last field: only a closing bracket (a trailing
    // comma) is told apart; anything else, the end included, is extra.
    lex_.skip_ws();
    if (lex_.at_end()) return fail(lex_.end(), "trailing characters");
    if (lex_.peek() == ']') return lex_.fail(lex_.pos() + 1, Fault::kTrailingComma);
    return fail(lex_.pos() + 1, "trailing characters");
  }
  if (step == Step::kFailed) return false;
  if (count < kFieldCount) {
    std::string message = "invalid length ";
    message.append(std::to_string(count));
    message.append(", expected struct Input with 7 elements");
    return fail(lex_.pos(), message);
  }
  return true;
}

// The pieces of an entry in the host's own array form, read straight from
// the bytes: each returns false, leaving `p` anywhere, for anything else.

// A string of plain ASCII without escapes.
bool plain_text(const char*& p, const char* end, std::string_view& out) {
  if (p == end || *p != '"') return false;
  const char* const q = parser::simd::find_string_stop_or_non_ascii(p + 1, end);
  if (q == end || *q != '"') return false;
  out = std::string_view(p + 1, static_cast<std::size_t>(q - p - 1));
  p = q + 1;
  return true;
}

// An unsigned integer of 1 to 19 digits without a leading zero (so it fits
// in 64 bits), not followed by more of a number (checked by the caller's
// next byte, a comma or bracket).
bool plain_uint(const char*& p, const char* end, std::uint64_t& out) {
  const char* const first = p;
  std::uint64_t v = 0;
  std::uint64_t eight;
  while (end - p >= 8 && p - first <= 11 && parser::json::eight_digits(p, eight)) {
    v = v * 100000000 + eight;
    p += 8;
  }
  while (p != end && parser::is_digit(*p)) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  const std::ptrdiff_t digits = p - first;
  if (digits == 0 || digits > 19 || (*first == '0' && digits > 1)) return false;
  out = v;
  return true;
}

bool plain_byte(const char*& p, const char* end, char c) {
  if (p == end || *p != c) return false;
  ++p;
  return true;
}

bool plain_bool(const char*& p, const char* end, bool& out) {
  if (end - p >= 4 && std::memcmp(p, "true", 4) == 0) {
    out = true;
    p += 4;
    return true;
  }
  if (end - p >= 5 && std::memcmp(p, "false", 5) == 0) {
    out = false;
    p += 5;
    return true;
  }
  return false;
}

// The cursor is on '[': reads ["path",size,"identity",mtime,source,
// "project",sub] written as the host writes it (no white space, texts of
// plain ASCII, integers as digits only).  Returns false without moving the
// cursor for any other entry, which the general reader then decodes (and
// words any fault of).
bool Decoder::read_plain_array_entry(ManifestEntry& in) {
  const char* p = lex_.pos() + 1;
  const char* const end = lex_.end();
  std::uint64_t source = 0;
  if (!plain_text(p, end, in.path) || !plain_byte(p, end, ',') || !plain_uint(p, end, in.size) ||
      !plain_byte(p, end, ',') || !plain_text(p, end, in.identity) || !plain_byte(p, end, ',') ||
      !plain_uint(p, end, in.mtime_ns) || !plain_byte(p, end, ',') || !plain_uint(p, end, source) ||
      source > 255 || !plain_byte(p, end, ',') || !plain_text(p, end, in.project) ||
      !plain_byte(p, end, ',') || !plain_bool(p, end, in.sub) || !plain_byte(p, end, ']')) {
    return false;
  }
  in.source = static_cast<std::uint8_t>(source);
  lex_.set_pos(p);
  return true;
}

bool Decoder::read_entry(ManifestEntry& in) {
  switch (lex_.peek()) {
    case '{': return read_object_entry(in);
    case '[': return read_plain_array_entry(in) || read_array_entry(in);
    default: return invalid_type("struct Input");
  }
}

bool Decoder::run() {
  std::vector<ManifestEntry>& out = out_.entries;
  lex_.skip_ws();
  if (lex_.at_end()) return lex_.eof(Fault::kEofWhileValue);
  if (lex_.peek() != '[') return invalid_type("a sequence");
  // A realistic entry takes well over 100 bytes of text; the cap keeps a
  // huge text of little content from reserving memory it will not use.
  constexpr std::size_t kMaxReserve = std::size_t{1} << 16;
  const auto left = static_cast<std::size_t>(lex_.end() - lex_.pos() - 1);
  out.reserve(std::min(left / 128 + 1, kMaxReserve));
  Step step = lex_.enter(false);
  while (step == Step::kNext) {
    if (!read_entry(out.emplace_back())) return false;
    step = lex_.next(false);
  }
  if (step == Step::kFailed) return false;
  lex_.skip_ws();
  if (!lex_.at_end()) return fail(lex_.pos() + 1, "trailing characters");
  return true;
}

}  // namespace

Manifest Manifest::of(const std::vector<Input>& inputs) {
  Manifest manifest;
  manifest.entries.reserve(inputs.size());
  for (const Input& in : inputs) manifest.entries.push_back(ManifestEntry::view_of(in));
  return manifest;
}

bool decode_manifest(std::string_view text, Manifest& out, std::string& error) {
  out = Manifest();
  return Decoder(text, out, error).run();
}

bool decode_manifest(std::string_view text, std::vector<Input>& out, std::string& error) {
  out.clear();
  Manifest manifest;
  if (!decode_manifest(text, manifest, error)) return false;
  out.reserve(manifest.entries.size());
  for (const ManifestEntry& entry : manifest.entries) out.push_back(entry.to_input());
  return true;
}

}  // namespace ledgerly::engine
