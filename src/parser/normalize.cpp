// Model-name normalisation and service-tier codes.
#include "parser/normalize.h"

#include <cstring>

#include "parser/utf8.h"
#include "parser/unicode_lower.h"

namespace ledgerly::parser {
namespace {

// ---------------------------------------------------------------------------
// Lower-casing

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr std::string_view kCapitalSigmaUtf8 = "\xCE\xA3";

inline char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Lower-cases `in` into `out` (in.size() bytes) if every byte is ASCII;
// returns false, with `out` partly written, at the first byte that is not.
bool lower_ascii(std::string_view in, char* out) noexcept {
  const std::size_t n = in.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in.data() + i, 8);
    if (word & 0x8080808080808080ULL) return false;
    for (std::size_t k = 0; k < 8; ++k) out[i + k] = ascii_lower(in[i + k]);
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(in[i]) >= 0x80) return false;
    out[i] = ascii_lower(in[i]);
  }
  return true;
}

inline bool continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the well-formed UTF-8 sequence that starts at s[i] (shortest form,
// no surrogates, at most U+10FFFF).  Returns its length, or 0 when the bytes
// at i do not start one.  Never reads past the end of `s`.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  const std::size_t left = s.size() - i;
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char b0 = at(0);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2 || !continuation(at(1))) return 0;
    cp = (char32_t{b0} & 0x1F) << 6 | (at(1) & 0x3Fu);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !continuation(at(1)) || !continuation(at(2))) return 0;
    if (b0 == 0xE0 && at(1) < 0xA0) return 0;  // overlong
    if (b0 == 0xED && at(1) > 0x9F) return 0;  // surrogate
    cp = (char32_t{b0} & 0x0F) << 12 | (at(1) & 0x3Fu) << 6 | (at(2) & 0x3Fu);
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !continuation(at(1)) || !continuation(at(2)) || !continuation(at(3))) return 0;
    if (b0 == 0xF0 && at(1) < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && at(1) > 0x8F) return 0;  // beyond U+10FFFF
    cp = (char32_t{b0} & 0x07) << 18 | (at(1) & 0x3Fu) << 12 | (at(2) & 0x3Fu) << 6 |
         (at(3) & 0x3Fu);
    return 4;
  }
  return 0;
}


// True when, skipping case-ignorable characters from s[i] on, the next
// character is cased.  A byte that does not decode ends the search.
bool cased_follows(std::string_view s, std::size_t i) noexcept {
  while (i < s.size()) {
    char32_t cp;
    const std::size_t len = decode(s, i, cp);
    if (len == 0) return false;
    const unicode::CaseClass klass = unicode::case_class(cp);
    if (klass != unicode::CaseClass::kIgnorable) return klass == unicode::CaseClass::kCased;
    i += len;
  }
  return false;
}

// Full Unicode lower case of `in`, appended to `out`.  Capital sigma becomes
// final sigma when the nearest character before it that is not
// case-ignorable is cased and the nearest one after it is not (or there is
// none).  Bytes that are not valid UTF-8 are copied unchanged and count as
// neither cased nor case-ignorable.
void lower_unicode(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size() + in.size() / 2);
  // Case classes matter only around a capital sigma; most texts have none.
  const bool has_sigma = in.find(kCapitalSigmaUtf8) != std::string_view::npos;
  // Whether the nearest non-ignorable character so far was cased: the
  // backward half of the final-sigma test, kept up to date as we go.
  bool cased_before = false;
  std::size_t i = 0;
  while (i < in.size()) {
    char32_t cp;
    const std::size_t len = decode(in, i, cp);
    if (len == 0) {
      out.push_back(in[i]);
      cased_before = false;
      ++i;
      continue;
    }
    if (cp < 0x80) {
      out.push_back(ascii_lower(in[i]));
    } else if (cp == kCapitalSigma) {
      const bool final_form = cased_before && !cased_follows(in, i + len);
      out += final_form ? "\xCF\x82" : "\xCF\x83";  // U+03C2 : U+03C3
    } else {
      char32_t lowered[unicode::kMaxLowerLength];
      const std::size_t count = unicode::lower(cp, lowered);
      for (std::size_t k = 0; k < count; ++k)
        json::append_utf8(out, static_cast<std::uint32_t>(lowered[k]));
    }
    if (has_sigma) {
      const unicode::CaseClass klass = unicode::case_class(cp);
      if (klass != unicode::CaseClass::kIgnorable) cased_before = klass == unicode::CaseClass::kCased;
    }
    i += len;
  }
}

std::string lower_string(std::string_view in) {
  std::string out(in.size(), '\0');
  if (lower_ascii(in, out.data())) return out;
  out.clear();
  lower_unicode(in, out);
  return out;
}

// Drops one trailing "[1m]", then a trailing "-" plus exactly eight ASCII
// digits after the last dash.  The result is a prefix of `key`.
std::string_view strip_suffixes(std::string_view key) noexcept {
  constexpr std::string_view kWideContext = "[1m]";
  if (key.ends_with(kWideContext)) key.remove_suffix(kWideContext.size());
  const std::size_t dash = key.rfind('-');
  if (dash != std::string_view::npos && key.size() - dash - 1 == 8) {
    bool digits = true;
    for (std::size_t i = dash + 1; i < key.size(); ++i) digits = digits && key[i] >= '0' && key[i] <= '9';
    if (digits) key = key.substr(0, dash);
  }
  return key;
}

constexpr std::string_view kUnknown = "unknown";

}  // namespace

std::string normalize(std::string_view name) {
  std::string lowered = lower_string(name);
  const std::size_t size = strip_suffixes(lowered).size();
  if (size == 0) return std::string(kUnknown);
  lowered.resize(size);
  return lowered;
}

std::uint8_t tier(std::optional<std::string_view> text) noexcept {
  if (!text) return 0;
  if (*text == "default" || *text == "standard") return 1;
  if (*text == "fast") return 2;
  if (*text == "priority") return 3;
  if (*text == "flex") return 4;
  return 0;
}

}  // namespace ledgerly::parser
