// Model-name normalisation and service-tier codes.
#include "parser/normalize.h"

#include <cstring>

#include "parser/ascii.h"
#include "parser/unicode_lower.h"
#include "parser/utf8.h"

namespace ledgerly::parser {
namespace {

// ---------------------------------------------------------------------------
// Lower-casing

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr std::string_view kCapitalSigmaUtf8 = "\xCE\xA3";

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

// Decodes the well-formed UTF-8 sequence that starts at s[i]: its length
// and code point, or 0 when the bytes at i do not start one.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  return decode_utf8(s.data() + i, s.data() + s.size(), cp);
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
        append_utf8(out, static_cast<std::uint32_t>(lowered[k]));
    }
    if (has_sigma) {
      const unicode::CaseClass klass = unicode::case_class(cp);
      if (klass != unicode::CaseClass::kIgnorable)
        cased_before = klass == unicode::CaseClass::kCased;
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
    for (std::size_t i = dash + 1; i < key.size(); ++i) digits = digits && is_digit(key[i]);
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
