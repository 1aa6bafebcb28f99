#include "parser/json_reader.h"

#include <cstring>
#include <limits>

#include "parser/utf8.h"
#include "parser/simd_scan.h"

namespace ledgerly::parser::json {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Value of one hex digit, or -1.
int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads four hex digits at p (caller checked that four bytes exist).
bool read_hex4(const char* p, std::uint32_t& out) noexcept {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hex_value(p[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  out = v;
  return true;
}

// `q` points at a backslash inside a string.  Returns the position after a
// valid escape sequence, or nullptr.  Syntax only: used for skipped strings.
const char* skip_escape(const char* q, const char* end) noexcept {
  if (end - q < 2) return nullptr;
  switch (q[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return q + 2;
    case 'u': {
      std::uint32_t cp;
      if (end - q < 6 || !read_hex4(q + 2, cp)) return nullptr;
      return q + 6;
    }
    default:
      return nullptr;
  }
}

// `q` points at a backslash inside a string.  Appends the decoded character
// to `out` and returns the position after the escape, or nullptr when the
// escape is malformed or a \u escape is a lone surrogate.
const char* decode_escape(const char* q, const char* end, std::string& out) {
  if (end - q < 2) return nullptr;
  char c;
  switch (q[1]) {
    case '"': c = '"'; break;
    case '\\': c = '\\'; break;
    case '/': c = '/'; break;
    case 'b': c = '\b'; break;
    case 'f': c = '\f'; break;
    case 'n': c = '\n'; break;
    case 'r': c = '\r'; break;
    case 't': c = '\t'; break;
    case 'u': {
      std::uint32_t cp;
      if (end - q < 6 || !read_hex4(q + 2, cp)) return nullptr;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return nullptr;  // low half without a high half
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        std::uint32_t low;
        if (end - q < 12 || q[6] != '\\' || q[7] != 'u' || !read_hex4(q + 8, low) ||
            low < 0xDC00 || low > 0xDFFF)
          return nullptr;
        append_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
        return q + 12;
      }
      append_utf8(out, cp);
      return q + 6;
    }
    default:
      return nullptr;
  }
  out.push_back(c);
  return q + 2;
}

// One bit per open container of a skipped value: 1 = object, 0 = array.
// The first 256 levels live inline; deeper levels spill into `heap`.
class KindStack {
 public:
  explicit KindStack(std::vector<std::uint64_t>& heap) noexcept : heap_(heap) {}

  bool empty() const noexcept { return depth_ == 0; }

  void push(bool object) {
    const std::size_t word = depth_ / 64;
    const std::uint64_t bit = std::uint64_t{1} << (depth_ % 64);
    std::uint64_t* w;
    if (word < kInline) {
      w = &inline_[word];
    } else {
      if (heap_.size() <= word - kInline) heap_.push_back(0);
      w = &heap_[word - kInline];
    }
    *w = object ? (*w | bit) : (*w & ~bit);
    ++depth_;
  }

  bool top_is_object() const noexcept {
    const std::size_t i = depth_ - 1;
    const std::size_t word = i / 64;
    const std::uint64_t w = word < kInline ? inline_[word] : heap_[word - kInline];
    return ((w >> (i % 64)) & 1) != 0;
  }

  void pop() noexcept { --depth_; }

 private:
  static constexpr std::size_t kInline = 4;
  std::uint64_t inline_[kInline] = {};
  std::vector<std::uint64_t>& heap_;
  std::size_t depth_ = 0;
};

}  // namespace

bool Reader::consume_literal(std::string_view word) noexcept {
  if (static_cast<std::size_t>(end_ - p_) < word.size() ||
      std::memcmp(p_, word.data(), word.size()) != 0)
    return false;
  p_ += word.size();
  return true;
}

bool Reader::read_string(std::string& out) {
  if (p_ == end_ || *p_ != '"') return false;
  const char* run = p_ + 1;
  const char* q = simd::find_string_stop_or_non_ascii(run, end_);
  if (q != end_ && *q == '"') {  // plain ASCII string: one copy
    out.assign(run, q);
    p_ = q + 1;
    return true;
  }
  out.clear();
  return read_string_slow(run, q, out);
}

bool Reader::read_key(std::string_view& key) {
  if (p_ == end_ || *p_ != '"') return false;
  const char* run = p_ + 1;
  const char* q = simd::find_string_stop_or_non_ascii(run, end_);
  if (q != end_ && *q == '"') {  // plain ASCII key: no copy at all
    key = std::string_view(run, static_cast<std::size_t>(q - run));
    p_ = q + 1;
    return true;
  }
  key_scratch_.clear();
  if (!read_string_slow(run, q, key_scratch_)) return false;
  key = key_scratch_;
  return true;
}

// Decodes the rest of a string.  [run, q) is a pending ASCII run not yet
// appended to `out`; q is the first byte that needs attention.
bool Reader::read_string_slow(const char* run, const char* q, std::string& out) {
  for (;;) {
    if (q == end_) return false;  // unterminated
    const auto c = static_cast<unsigned char>(*q);
    if (c == '"') {
      out.append(run, q);
      p_ = q + 1;
      return true;
    }
    if (c == '\\') {
      out.append(run, q);
      q = decode_escape(q, end_, out);
      if (q == nullptr) return false;
      run = q;
    } else if (c < 0x20) {
      return false;  // raw control byte
    } else {
      // Validate a run of multi-byte sequences; they stay in the pending run.
      do {
        const std::size_t n = utf8_sequence_length(q, end_);
        if (n == 0) return false;
        q += n;
      } while (q != end_ && static_cast<unsigned char>(*q) >= 0x80);
    }
    q = simd::find_string_stop_or_non_ascii(q, end_);
  }
}

bool Reader::read_int64(std::int64_t& out) noexcept {
  const char* p = p_;
  const bool negative = p != end_ && *p == '-';
  if (negative) ++p;
  if (p == end_ || !is_digit(*p)) return false;
  // 2^63 fits in the accumulator; anything larger fails as soon as it is seen.
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  std::uint64_t acc = 0;
  if (*p == '0') {
    ++p;  // a leading zero stands alone; a following digit fails the caller's syntax check
  } else {
    while (p != end_ && is_digit(*p)) {
      const auto digit = static_cast<std::uint64_t>(*p - '0');
      if (acc > (kLimit - digit) / 10) return false;  // checked before it could wrap
      acc = acc * 10 + digit;
      ++p;
    }
  }
  if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) return false;  // a float
  if (negative) {
    out = acc == kLimit ? std::numeric_limits<std::int64_t>::min()
                        : -static_cast<std::int64_t>(acc);
  } else {
    if (acc == kLimit) return false;
    out = static_cast<std::int64_t>(acc);
  }
  p_ = p;
  return true;
}

bool Reader::skip_number() noexcept {
  const char* p = p_;
  if (p != end_ && *p == '-') ++p;
  if (p == end_ || !is_digit(*p)) return false;
  if (*p == '0') {
    ++p;
  } else {
    while (p != end_ && is_digit(*p)) ++p;
  }
  if (p != end_ && *p == '.') {
    ++p;
    if (p == end_ || !is_digit(*p)) return false;
    while (p != end_ && is_digit(*p)) ++p;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_ || !is_digit(*p)) return false;
    while (p != end_ && is_digit(*p)) ++p;
  }
  p_ = p;
  return true;
}

bool Reader::skip_string() noexcept {
  const char* q = p_ + 1;  // after the opening quote
  for (;;) {
    q = simd::find_string_stop(q, end_);
    if (q == end_) return false;
    if (*q == '"') {
      p_ = q + 1;
      return true;
    }
    if (*q != '\\') return false;  // raw control byte
    q = skip_escape(q, end_);
    if (q == nullptr) return false;
  }
}

bool Reader::skip_member_key() noexcept {
  if (p_ == end_ || *p_ != '"' || !skip_string()) return false;
  skip_ws();
  if (!consume(':')) return false;
  return true;
}

bool Reader::skip_value() {
  KindStack stack(deep_kinds_);
  for (;;) {
    // The cursor is where a value must start.
    skip_ws();
    if (p_ == end_) return false;
    switch (*p_) {
      case '{':
        ++p_;
        skip_ws();
        if (consume('}')) break;
        stack.push(true);
        if (!skip_member_key()) return false;
        continue;
      case '[':
        ++p_;
        skip_ws();
        if (consume(']')) break;
        stack.push(false);
        continue;
      case '"':
        if (!skip_string()) return false;
        break;
      case 't':
        if (!consume_literal("true")) return false;
        break;
      case 'f':
        if (!consume_literal("false")) return false;
        break;
      case 'n':
        if (!consume_literal("null")) return false;
        break;
      default:
        if (!skip_number()) return false;
        break;
    }
    // A value is complete: close containers until one wants another element.
    for (;;) {
      if (stack.empty()) return true;
      skip_ws();
      if (p_ == end_) return false;
      const char c = *p_++;
      const bool object = stack.top_is_object();
      if (c == ',') {
        if (object) {
          skip_ws();
          if (!skip_member_key()) return false;
        }
        break;
      }
      if (c != (object ? '}' : ']')) return false;
      stack.pop();
    }
  }
}

bool Reader::read_value(JsonValue& out, int open) {
  if (p_ == end_) return false;
  switch (*p_) {
    case '{': {
      if (open >= kMaxDepth) return false;
      ++p_;
      out.kind = JsonValue::Kind::kObject;
      skip_ws();
      if (consume('}')) return true;
      for (;;) {
        std::string key;
        if (!read_string(key)) return false;
        skip_ws();
        if (!consume(':')) return false;
        skip_ws();
        out.members.emplace_back(std::move(key), JsonValue{});
        if (!read_value(out.members.back().value, open + 1)) return false;
        skip_ws();
        if (consume('}')) return true;
        if (!consume(',')) return false;
        skip_ws();
      }
    }
    case '[': {
      if (open >= kMaxDepth) return false;
      ++p_;
      out.kind = JsonValue::Kind::kArray;
      skip_ws();
      if (consume(']')) return true;
      for (;;) {
        out.items.emplace_back();
        if (!read_value(out.items.back(), open + 1)) return false;
        skip_ws();
        if (consume(']')) return true;
        if (!consume(',')) return false;
        skip_ws();
      }
    }
    case '"':
      out.kind = JsonValue::Kind::kString;
      return read_string(out.text);
    case 't':
      out.kind = JsonValue::Kind::kBool;
      out.boolean = true;
      return consume_literal("true");
    case 'f':
      out.kind = JsonValue::Kind::kBool;
      out.boolean = false;
      return consume_literal("false");
    case 'n':
      out.kind = JsonValue::Kind::kNull;
      return consume_literal("null");
    default: {
      const char* start = p_;
      if (!skip_number()) return false;
      out.kind = JsonValue::Kind::kNumber;
      out.text.assign(start, p_);
      return true;
    }
  }
}

}  // namespace ledgerly::parser::json
