// RFC 3339 date-times to Unix milliseconds.
#include "parser/timestamp.h"

#include "parser/ascii.h"

namespace ledgerly::parser {
namespace {

// Reads `count` ASCII digits at s[pos] (caller checked the length).
bool read_digits(std::string_view s, std::size_t pos, std::size_t count,
                 std::int64_t& value) noexcept {
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (!is_digit(s[i])) return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

constexpr bool is_leap(std::int64_t year) noexcept {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr std::int64_t days_in_month(std::int64_t year, std::int64_t month) noexcept {
  constexpr std::int64_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date (any year).
constexpr std::int64_t days_from_civil(std::int64_t year, std::int64_t month,
                                       std::int64_t day) noexcept {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;  // [0, 399]
  const std::int64_t day_of_year =
      (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;  // [0, 365]
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);
static_assert(days_from_civil(1969, 12, 31) == -1);

}  // namespace

// Accepts YYYY-MM-DD{T|t| }hh:mm:ss[.f+]{Z|z|+hh:mm|-hh:mm} and nothing else.
std::optional<std::int64_t> timestamp(std::optional<std::string_view> text) noexcept {
  if (!text) return std::nullopt;
  const std::string_view s = *text;
  constexpr std::size_t kShortest = 20;  // "2025-01-01T00:00:00Z"
  if (s.size() < kShortest) return std::nullopt;

  std::int64_t year, month, day, hour, minute, second;
  if (!read_digits(s, 0, 4, year) || s[4] != '-' || !read_digits(s, 5, 2, month) || s[7] != '-' ||
      !read_digits(s, 8, 2, day)) {
    return std::nullopt;
  }
  if (s[10] != 'T' && s[10] != 't' && s[10] != ' ') return std::nullopt;
  if (!read_digits(s, 11, 2, hour) || s[13] != ':' || !read_digits(s, 14, 2, minute) ||
      s[16] != ':' || !read_digits(s, 17, 2, second)) {
    return std::nullopt;
  }

  std::size_t pos = 19;
  std::int64_t millis = 0;
  if (s[pos] == '.') {
    const std::size_t first = ++pos;
    std::int64_t scale = 100;
    while (pos < s.size() && is_digit(s[pos])) {
      if (pos - first < 3) {
        millis += (s[pos] - '0') * scale;
        scale /= 10;
      }
      ++pos;
    }
    if (pos == first) return std::nullopt;
  }

  if (pos >= s.size()) return std::nullopt;
  std::int64_t offset_minutes = 0;
  const char zone = s[pos];
  if (zone == 'Z' || zone == 'z') {
    ++pos;
  } else if (zone == '+' || zone == '-') {
    std::int64_t offset_hour, offset_minute;
    if (s.size() - pos < 6 || !read_digits(s, pos + 1, 2, offset_hour) || s[pos + 3] != ':' ||
        !read_digits(s, pos + 4, 2, offset_minute) || offset_hour > 23 || offset_minute > 59) {
      return std::nullopt;
    }
    offset_minutes = (offset_hour * 60 + offset_minute) * (zone == '-' ? -1 : 1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;

  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  // A leap second (60) counts as second 59 plus 1000 ms, which plain
  // arithmetic gives.  The fraction is non-negative, so the seconds count is
  // the floor for instants before 1970.
  const std::int64_t seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 +
                               minute * 60 + second - offset_minutes * 60;
  return seconds * 1000 + millis;
}

}  // namespace ledgerly::parser
