// The JSON lexing layer that both decoders of the project share: the log
// line decoder (json_reader.h, decode.cpp) and the manifest decoder
// (engine/manifest.cpp).  It holds everything below the level of records:
// white space, strings (escapes, \u surrogate pairs, UTF-8), numbers,
// literals, the separators of arrays and objects, and the skipping of
// whole values.  Each decoder reads its own records on top of it.
//
// Faults go to an error sink, the template parameter:
//  - Discard drops them, for a caller that only needs to know whether the
//    text is good: every report compiles away, so the line decoder's fast
//    path pays nothing for the positions;
//  - a sink with state (the manifest's) gets the Fault and the position
//    where it showed, and turns them into its own message.
// A sink has `void report(const char* at, Fault fault)` and
// `static constexpr bool kNamesFaults`: false lets the lexer skip checks
// that only tell one fault from another.
//
// Contract:
//  - Methods that read expect the cursor where their token starts (white
//    space already skipped), advance past it on success, and return false
//    after reporting one fault otherwise; the cursor is then unspecified
//    and the caller abandons the text.
//  - A fault is reported at the end of what was consumed when it showed:
//    one past the offending byte, or the end of the text for a text that
//    ends too early.
//  - Nothing reads outside the text; nothing throws except std::bad_alloc.
//  - Strings that are read are decoded in full: escapes resolved, \u
//    surrogate pairs joined, lone surrogates and ill-formed UTF-8 rejected.
//    Skipped strings are checked as strictly only when the caller asks
//    (kCheckText); otherwise only their JSON syntax is checked (escape
//    letters, four hex digits after \u, no raw control byte), since their
//    bytes are never used; string_end.h finds their end a block at a time.
//  - skip_value() has no depth limit and does not recurse: it keeps one bit
//    per open container.
#ifndef LEDGERLY_PARSER_JSON_LEXER_H_
#define LEDGERLY_PARSER_JSON_LEXER_H_

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ascii.h"
#include "parser/simd_scan.h"
#include "parser/string_end.h"
#include "parser/utf8.h"

namespace ledgerly::parser::json {

enum class Fault : std::uint8_t {
  kEofWhileValue,   // the text ends where a value must start (or inside a number or literal)
  kEofWhileList,    // ... inside an array
  kEofWhileObject,  // ... inside an object
  kEofWhileString,  // ... inside a string
  kExpectedValue,   // a byte that cannot start a value
  kInvalidLiteral,  // a misspelled true, false or null
  kInvalidNumber,   // a leading zero; a sign, point or exponent without digits
  kExpectedCommaOrBracket,
  kExpectedCommaOrBrace,
  kExpectedColon,
  kKeyMustBeString,
  kInvalidEscape,     // an unknown escape letter, or a non-hex digit after \u
  kLoneSurrogate,     // a \u escape of half a surrogate pair
  kControlCharacter,  // a raw byte below 0x20 in a string
  kInvalidUtf8,
  kTrailingComma,  // a comma right before a closing bracket or brace
};

// Whether the eight bytes at `p` are all digits; if so, sets `value` to
// the number they write.
inline bool eight_digits(const char* p, std::uint64_t& value) noexcept {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  // Every byte 0x30-0x39: its high nibble is 3, and still 3 after adding
  // 6 (a carry out of a byte only comes from one that already failed).
  constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0;
  if (((x & kHigh) | (((x + 0x0606060606060606) & kHigh) >> 4)) != 0x3333333333333333) {
    return false;
  }
  // The first digit is now the lowest byte: fold neighbouring digits into pairs, pairs into
  // fours, fours into eight.
  x -= 0x3030303030303030;
  x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FF;
  x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFF;
  x = (x * 10000 + (x >> 32)) & 0x00000000FFFFFFFF;
  value = x;
  return true;
}

// The sink of a caller that needs no position and no message.
struct Discard {
  // Nothing is reported, so the lexer leaves out the checks whose only use
  // is to name a fault that the next token's reader finds anyway (the end
  // of the text after a colon or comma, a comma before a closing byte).
  static constexpr bool kNamesFaults = false;
  void report(const char*, Fault) const noexcept {}
};

// A number as written: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
struct Number {
  std::string_view text;  // the whole number
  bool negative = false;
  bool integer = true;          // neither a fraction nor an exponent
  bool fits = true;             // its integer digits fit in 64 bits
  std::uint64_t magnitude = 0;  // the value of its integer digits, when they fit
};

// Where a walk through an array or object stands after a separator.
enum class Step : std::uint8_t {
  kNext,    // an element (for an object, a member's key) starts at the cursor
  kClosed,  // the closing bracket or brace was consumed
  kFailed,  // a fault was reported
};

// One bit per open container of a skipped value (1: object, 0: array).  The
// first 256 levels live inline; deeper ones spill into a vector the caller
// keeps, so that its capacity is reused from one value to the next.
class ContainerStack {
 public:
  explicit ContainerStack(std::vector<std::uint64_t>& spill) noexcept : spill_(spill) {}

  bool empty() const noexcept { return depth_ == 0; }

  void push(bool object) {
    const std::size_t word = depth_ / 64;
    const std::uint64_t bit = std::uint64_t{1} << (depth_ % 64);
    std::uint64_t* w;
    if (word < kInline) {
      w = &inline_[word];
    } else {
      if (spill_.size() <= word - kInline) spill_.push_back(0);
      w = &spill_[word - kInline];
    }
    *w = object ? (*w | bit) : (*w & ~bit);
    ++depth_;
  }

  bool top_is_object() const noexcept {
    const std::size_t i = depth_ - 1;
    const std::size_t word = i / 64;
    const std::uint64_t w = word < kInline ? inline_[word] : spill_[word - kInline];
    return ((w >> (i % 64)) & 1) != 0;
  }

  void pop() noexcept { --depth_; }

 private:
  static constexpr std::size_t kInline = 4;
  std::uint64_t inline_[kInline] = {};
  std::vector<std::uint64_t>& spill_;
  std::size_t depth_ = 0;
};

template <class Sink>
class Lexer {
 public:
  Lexer(std::string_view text, Sink sink) noexcept
      : p_(text.data()), end_(text.data() + text.size()), sink_(sink) {}
  explicit Lexer(std::string_view text) noexcept : Lexer(text, Sink{}) {}

  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  // --- the cursor -----------------------------------------------------------

  const char* pos() const noexcept { return p_; }
  // Moves the cursor to `p`, which must lie in the text: for a caller that
  // read a token itself (or tried to and backs out).
  void set_pos(const char* p) noexcept { p_ = p; }
  const char* end() const noexcept { return end_; }
  bool at_end() const noexcept { return p_ == end_; }
  // The byte under the cursor, or -1 at the end of the text.
  int peek() const noexcept { return p_ != end_ ? static_cast<unsigned char>(*p_) : -1; }
  // Skips JSON white space: exactly space, tab, LF and CR.
  void skip_ws() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  // Advances over `c` when it is the byte under the cursor.
  bool consume(char c) noexcept {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // Reports `fault` at `at`, or at the end of the text; both return false.
  bool fail(const char* at, Fault fault) {
    sink_.report(at, fault);
    return false;
  }
  bool eof(Fault fault) { return fail(end_, fault); }

  // --- tokens ---------------------------------------------------------------

  // Reads a string; the cursor is on its opening quote.  `out` views the
  // text itself when the string holds no escape, else `scratch`, which then
  // holds the decoded text.
  bool read_string(std::string_view& out, std::string& scratch);

  // Checks and skips a string (the cursor on its opening quote): as
  // read_string() accepts it with kCheckText, its JSON syntax only without.
  template <bool kCheckText>
  bool skip_string();

  // Reads a number into `out`; without kValue only its grammar is checked
  // (for a number being skipped) and `out` is left unspecified.
  template <bool kValue = true>
  bool read_number(Number& out);

  // Reads `word` ("true", "false" or "null").
  bool read_literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) >= word.size() &&
        std::memcmp(p_, word.data(), word.size()) == 0) {
      p_ += word.size();
      return true;
    }
    for (const char c : word) {
      if (p_ == end_) return eof(Fault::kEofWhileValue);
      if (*p_++ != c) return fail(p_, Fault::kInvalidLiteral);
    }
    return true;
  }

  // --- arrays and objects ---------------------------------------------------

  // The cursor is on '[' (object false) or '{' (object true): consumes it
  // and the white space after it.
  Step enter(bool object) {
    ++p_;
    return close_or_next(object);
  }

  // After an element of an open array or object: white space, then the
  // closing byte, or a comma (consumed; kNext, the cursor right after it).
  Step after_element(bool object) {
    const Step step = close_or_next(object);
    if (step != Step::kNext) return step;
    if (*p_ != ',') {
      fail(p_ + 1, object ? Fault::kExpectedCommaOrBrace : Fault::kExpectedCommaOrBracket);
      return Step::kFailed;
    }
    ++p_;
    return Step::kNext;
  }

  // After a comma: white space, and no closing byte (a trailing comma).
  // Without kNamesFaults the cursor may be left at the end of the text or
  // on the closing byte, which every reader of the next element rejects.
  bool after_comma(bool object) {
    skip_ws();
    if constexpr (Sink::kNamesFaults) {
      if (p_ == end_) return eof(object ? Fault::kEofWhileObject : Fault::kEofWhileValue);
      if (*p_ == (object ? '}' : ']')) return fail(p_ + 1, Fault::kTrailingComma);
    }
    return true;
  }

  // after_element() and, after a comma, after_comma().
  Step next(bool object) {
    const Step step = after_element(object);
    if (step == Step::kNext && !after_comma(object)) return Step::kFailed;
    return step;
  }

  // Reads an object member's key (see read_string for `out`).
  bool read_key(std::string_view& out, std::string& scratch) {
    if (peek() != '"') return p_ == end_ ? eof(Fault::kEofWhileObject) : not_a_key();
    return read_string(out, scratch);
  }

  // After a member's key: white space, ':', white space, and a value to
  // come (without kNamesFaults, the value's reader finds the end of text).
  bool colon() {
    skip_ws();
    if (p_ == end_) return eof(Fault::kEofWhileObject);
    if (*p_ != ':') return fail(p_ + 1, Fault::kExpectedColon);
    ++p_;
    skip_ws();
    if constexpr (Sink::kNamesFaults) {
      if (p_ == end_) return eof(Fault::kEofWhileValue);
    }
    return true;
  }

  // Checks and skips any value after white space, without building
  // anything; strings as skip_string<kCheckText>() does.  `spill` keeps the
  // container kinds beyond 256 levels.
  template <bool kCheckText>
  bool skip_value(std::vector<std::uint64_t>& spill);

 private:
  // Inside an open array or object: white space, then the closing byte
  // (consumed, kClosed) or anything else (kNext, the cursor on it).
  Step close_or_next(bool object) {
    skip_ws();
    if (p_ == end_) {
      eof(object ? Fault::kEofWhileObject : Fault::kEofWhileList);
      return Step::kFailed;
    }
    if (*p_ == (object ? '}' : ']')) {
      ++p_;
      return Step::kClosed;
    }
    return Step::kNext;
  }

  // read_string() past its leading plain ASCII run: [run, q) is not yet
  // copied anywhere, and `q` is the first byte that needs a closer look.
  [[gnu::noinline]] bool read_string_rest(const char* run, const char* q, std::string_view& out,
                                          std::string& scratch);

  // `q` is on a backslash inside a string.  Checks one escape and returns
  // the position after it, or nullptr after reporting a fault.  With
  // kPairs a \u escape must be a whole character (a high and a low
  // surrogate in turn, or neither), which is then appended to `*out` when
  // `out` is given.  Without, `out` must be null.
  template <bool kPairs>
  const char* escape(const char* q, std::string* out) {
    if (end_ - q >= 2) {
      const char c = kUnescaped[static_cast<unsigned char>(q[1])];
      if (c != 0) {  // one of the two-byte escapes
        if (out != nullptr) out->push_back(c);
        return q + 2;
      }
    }
    return escape_rest<kPairs>(q, out);
  }
  // escape() for \u escapes, faults and the end of the text.
  template <bool kPairs>
  [[gnu::noinline]] const char* escape_rest(const char* q, std::string* out);

  // The character each two-byte escape stands for, by its letter; 0 for
  // every other byte (\u included).
  static constexpr std::array<char, 256> kUnescaped = [] {
    std::array<char, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['/'] = '/';
    t['b'] = '\b';
    t['f'] = '\f';
    t['n'] = '\n';
    t['r'] = '\r';
    t['t'] = '\t';
    return t;
  }();

  // Reads four hex digits at `q` into `out`.
  bool hex4(const char* q, std::uint32_t& out) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      if (q + i == end_) return eof(Fault::kEofWhileString);
      const int d = hex_value(q[i]);
      if (d < 0) return fail(q + i + 1, Fault::kInvalidEscape);
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    out = v;
    return true;
  }

  // The multi-byte sequences from `q` on, which must be well-formed:
  // returns the first byte after them, or nullptr after reporting a fault.
  const char* utf8_run(const char* q) {
    do {
      const int n = check_utf8(q, end_);
      if (n <= 0) {
        if (n == 0) {
          eof(Fault::kEofWhileString);
        } else {
          fail(q - n, Fault::kInvalidUtf8);
        }
        return nullptr;
      }
      q += n;
    } while (q != end_ && static_cast<unsigned char>(*q) >= 0x80);
    return q;
  }

  // Reads `"key" ws ':' ws` of an object member that is being skipped.
  template <bool kCheckText>
  bool skip_member_key() {
    if (peek() != '"') return p_ == end_ ? eof(Fault::kEofWhileObject) : not_a_key();
    return skip_string<kCheckText>() && colon();
  }

  bool not_a_key() { return fail(p_ + 1, Fault::kKeyMustBeString); }

  // Whether the 20 digits at `d` are at most 2^64 - 1.
  static bool fits_in_64_bits(const char* d) noexcept {
    return std::string_view(d, 20) <= std::string_view("18446744073709551615");
  }

  // The digits of a fraction or exponent.
  bool digits(const char*& p) {
    if (p == end_) return eof(Fault::kEofWhileValue);
    if (!is_digit(*p)) return fail(p + 1, Fault::kInvalidNumber);
    do ++p;
    while (p != end_ && is_digit(*p));
    return true;
  }

  const char* p_;
  const char* const end_;
  [[no_unique_address]] Sink sink_;
};

template <class Sink>
bool Lexer<Sink>::read_string(std::string_view& out, std::string& scratch) {
  const char* const run = p_ + 1;
  const char* const q = simd::find_string_stop_or_non_ascii(run, end_);
  if (q != end_ && *q == '"') {  // plain ASCII, the common case: a view, no copy
    out = std::string_view(run, static_cast<std::size_t>(q - run));
    p_ = q + 1;
    return true;
  }
  return read_string_rest(run, q, out, scratch);
}

template <class Sink>
bool Lexer<Sink>::read_string_rest(const char* run, const char* q, std::string_view& out,
                                   std::string& scratch) {
  bool escaped = false;  // whether `scratch` holds the text up to `run`
  for (;;) {
    if (q == end_) return eof(Fault::kEofWhileString);
    const auto c = static_cast<unsigned char>(*q);
    if (c == '"') {
      if (escaped) {
        scratch.append(run, q);
        out = scratch;
      } else {
        out = std::string_view(run, static_cast<std::size_t>(q - run));
      }
      p_ = q + 1;
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        scratch.clear();
        escaped = true;
      }
      scratch.append(run, q);
      q = escape<true>(q, &scratch);
      if (q == nullptr) return false;
      run = q;
    } else if (c < 0x20) {
      return fail(q + 1, Fault::kControlCharacter);
    } else {
      // Well-formed sequences stay in the pending run.
      q = utf8_run(q);
      if (q == nullptr) return false;
    }
    q = simd::find_string_stop_or_non_ascii(q, end_);
  }
}

template <class Sink>
template <bool kCheckText>
bool Lexer<Sink>::skip_string() {
  const char* q = p_ + 1;
  if constexpr (!kCheckText) {
    // The block kernel settles a valid string; the loop below runs only to
    // report the fault of an invalid one.
    const char* const close = find_string_end(q, end_);
    if (close != nullptr) {
      p_ = close + 1;
      return true;
    }
  }
  for (;;) {
    if constexpr (kCheckText) {
      q = simd::find_string_stop_or_non_ascii(q, end_);
    } else {
      q = simd::find_string_stop(q, end_);
    }
    if (q == end_) return eof(Fault::kEofWhileString);
    const auto c = static_cast<unsigned char>(*q);
    if (c == '"') {
      p_ = q + 1;
      return true;
    }
    if (c == '\\') {
      q = escape<kCheckText>(q, nullptr);
      if (q == nullptr) return false;
    } else if (c < 0x20) {
      return fail(q + 1, Fault::kControlCharacter);
    } else if constexpr (kCheckText) {
      q = utf8_run(q);
      if (q == nullptr) return false;
    }
  }
}

template <class Sink>
template <bool kPairs>
const char* Lexer<Sink>::escape_rest(const char* q, std::string* out) {
  if (end_ - q < 2) {
    eof(Fault::kEofWhileString);
    return nullptr;
  }
  switch (q[1]) {
    case 'u': {
      std::uint32_t cp;
      if (!hex4(q + 2, cp)) return nullptr;
      if constexpr (kPairs) {
        if (cp >= 0xDC00 && cp <= 0xDFFF) {  // a low half without a high half
          fail(q + 6, Fault::kLoneSurrogate);
          return nullptr;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low;
          if (end_ - q < 8 || q[6] != '\\' || q[7] != 'u') {
            fail(q + 6, Fault::kLoneSurrogate);
            return nullptr;
          }
          if (!hex4(q + 8, low)) return nullptr;
          if (low < 0xDC00 || low > 0xDFFF) {
            fail(q + 12, Fault::kLoneSurrogate);
            return nullptr;
          }
          if (out != nullptr) append_utf8(*out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
          return q + 12;
        }
        if (out != nullptr) append_utf8(*out, cp);
      }
      return q + 6;
    }
    default: fail(q + 2, Fault::kInvalidEscape); return nullptr;
  }
}

template <class Sink>
template <bool kValue>
bool Lexer<Sink>::read_number(Number& out) {
  const char* const start = p_;
  const char* p = p_;
  const bool negative = p != end_ && *p == '-';
  if (negative) ++p;
  if (p == end_) return eof(Fault::kEofWhileValue);
  const char* const first = p;
  std::uint64_t v = 0;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return fail(p + 1, Fault::kInvalidNumber);
  } else if (is_digit(*p)) {
    // Accumulated without overflow checks: up to 19 digits always fit in 64
    // bits, so only a 20-digit number is checked again, and a longer one
    // never fits.  Eight digits at a time while eight bytes remain.
    std::uint64_t eight;
    while (end_ - p >= 8 && eight_digits(p, eight)) {
      if constexpr (kValue) v = v * 100000000 + eight;
      p += 8;
    }
    while (p != end_ && is_digit(*p)) {
      if constexpr (kValue) v = v * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
  } else {
    return fail(p + 1, Fault::kInvalidNumber);
  }
  const char* const int_end = p;
  bool integer = true;
  if (p != end_ && *p == '.') {
    ++p;
    integer = false;
    if (!digits(p)) return false;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    integer = false;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (!digits(p)) return false;
  }
  if constexpr (kValue) {
    const auto count = static_cast<std::size_t>(int_end - first);
    out.text = std::string_view(start, static_cast<std::size_t>(p - start));
    out.negative = negative;
    out.integer = integer;
    out.fits = count < 20 || (count == 20 && fits_in_64_bits(first));
    out.magnitude = v;
  }
  p_ = p;
  return true;
}

template <class Sink>
template <bool kCheckText>
bool Lexer<Sink>::skip_value(std::vector<std::uint64_t>& spill) {
  ContainerStack open(spill);
  skip_ws();
  for (;;) {
    // The cursor is where a value must start.
    const int c = peek();
    switch (c) {
      case '[':
      case '{': {
        const bool object = c == '{';
        const Step step = enter(object);
        if (step == Step::kFailed) return false;
        if (step == Step::kNext) {
          open.push(object);
          if (object && !skip_member_key<kCheckText>()) return false;
          continue;
        }
        break;  // an empty container
      }
      case '"':
        if (!skip_string<kCheckText>()) return false;
        break;
      case 't':
        if (!read_literal("true")) return false;
        break;
      case 'f':
        if (!read_literal("false")) return false;
        break;
      case 'n':
        if (!read_literal("null")) return false;
        break;
      default: {
        if (c != '-' && !(c >= 0 && is_digit(static_cast<char>(c)))) {
          return c < 0 ? eof(Fault::kEofWhileValue) : fail(p_ + 1, Fault::kExpectedValue);
        }
        Number number;
        if (!read_number<false>(number)) return false;
        break;
      }
    }
    // A value is complete: close containers until one wants another element.
    for (;;) {
      if (open.empty()) return true;
      const bool object = open.top_is_object();
      const Step step = next(object);
      if (step == Step::kFailed) return false;
      if (step == Step::kNext) {
        if (object && !skip_member_key<kCheckText>()) return false;
        break;
      }
      open.pop();
    }
  }
}

}  // namespace ledgerly::parser::json

#endif  // LEDGERLY_PARSER_JSON_LEXER_H_
