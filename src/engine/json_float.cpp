#include "engine/json_float.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

namespace ledgerly::engine::json {
namespace {

// The exponent part of a well-formed JSON number (0 without one), its
// magnitude capped at about 10^9: anything larger overflows or underflows
// alike.
long long exponent_of(std::string_view s) {
  const std::size_t e = s.find_first_of("eE");
  long long exp = 0;
  if (e != std::string_view::npos) {
    std::size_t k = e + 1;
    const bool negative = s[k] == '-';
    if (s[k] == '+' || s[k] == '-') ++k;
    for (; k < s.size(); ++k) {
      if (exp < 1000000000) exp = exp * 10 + (s[k] - '0');
    }
    if (negative) exp = -exp;
  }
  return exp;
}

#if defined(__cpp_lib_to_chars)
// For a number that the double conversion reported out of range: true when
// its magnitude is too large (infinity), false when too small (zero).
// `s` is a well-formed JSON number with a nonzero digit.
bool overflows(std::string_view s) {
  const std::string_view mantissa = s.substr(0, s.find_first_of("eE"));
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  // Decimal exponent of the leading nonzero digit.
  long long lead = 0;
  for (std::size_t k = 0; k < mantissa.size(); ++k) {
    if (mantissa[k] >= '1' && mantissa[k] <= '9') {
      lead = k < point ? static_cast<long long>(point - k) - 1 : -static_cast<long long>(k - point);
      break;
    }
  }
  return lead + exponent_of(s) > 0;
}
#endif

}  // namespace

namespace detail {

double read_float_text_strtod(std::string_view s) {
  // strtod reads a decimal point as the current locale has it (perhaps a
  // comma), so the text goes over without one: the fraction's digits move
  // into the exponent ("12.5e3" is read as "125e2").
  std::string text;
  text.reserve(s.size() + 24);
  long long fraction_digits = 0;
  bool in_fraction = false;
  for (const char c : s.substr(0, s.find_first_of("eE"))) {
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    text.push_back(c);
    if (in_fraction) ++fraction_digits;
  }
  text.push_back('e');
  text += std::to_string(exponent_of(s) - fraction_digits);
  // Correctly rounded by every C library in use; infinity (HUGE_VAL) when
  // too large, zero or the nearest subnormal when too small.
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace detail

double read_float_text(std::string_view s) {
#if defined(__cpp_lib_to_chars)
  double d = 0.0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    d = overflows(s) ? std::numeric_limits<double>::infinity() : 0.0;
    if (s[0] == '-') d = -d;
  }
  return d;
#else
  // C++ libraries without std::from_chars for doubles (libc++ before 20).
  return detail::read_float_text_strtod(s);
#endif
}

void append_float_text(std::string& out, double v) {
  if (std::signbit(v)) {
    out.push_back('-');
    v = -v;
  }
  if (std::isinf(v)) {
    out.append("inf");
    return;
  }
  if (v == 0.0) {
    out.append("0.0");
    return;
  }
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]xx".
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* e =
      static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(res.ptr - buf)));
  if (res.ec != std::errc() || e == nullptr) {  // cannot happen for a finite double
    out.append(buf, res.ptr);
    return;
  }
  char digits[32];
  std::size_t n = 0;
  for (const char* q = buf; q < e; ++q) {
    if (*q != '.') digits[n++] = *q;
  }
  int exp10 = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), res.ptr, exp10);
  const int k = exp10 + 1;  // v = 0.DIGITS x 10^k
  const auto count = static_cast<int>(n);
  if (k > 0 && k <= 16) {
    if (count <= k) {
      out.append(digits, n);
      out.append(static_cast<std::size_t>(k - count), '0');
      out.append(".0");
    } else {
      out.append(digits, static_cast<std::size_t>(k));
      out.push_back('.');
      out.append(digits + k, static_cast<std::size_t>(count - k));
    }
  } else if (k > -5 && k <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-k), '0');
    out.append(digits, n);
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits + 1, n - 1);
    }
    out.push_back('e');
    char ebuf[8];
    const auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, k - 1);
    out.append(ebuf, er.ptr);
  }
}

}  // namespace ledgerly::engine::json
