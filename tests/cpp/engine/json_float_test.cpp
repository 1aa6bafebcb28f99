// Reading JSON number text as a double: the strtod path of C++ libraries
// without std::from_chars for doubles agrees bit for bit with the
// std::from_chars path, whatever the locale's decimal point.
#include "engine/json_float.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace ledgerly::engine::json {
namespace {

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// Texts around every edge: the double range's ends, subnormals, halfway
// cases, long mantissas, signed zeros, huge exponents.
std::vector<std::string> edge_texts() {
  return {"0",
          "-0",
          "0.0",
          "-0.000e-5",
          "1",
          "10.0",
          "1e3",
          "0.00012",
          "15e-7",
          "0.1",
          "0.30000000000000004",
          "123456789012345678901234567890",
          "1.7976931348623157e308",
          "1.7976931348623158e308",
          "1.8e308",
          "-1E400",
          "1e-310",
          "2.4703282292062327e-324",
          "2.4703282292062328e-324",
          "4.9e-324",
          "-1e-400",
          "9007199254740993",
          "0.000000000000000000000000000000000000000000000000000000000000000001e50",
          "1234567890.0987654321e-20",
          "1e999999999999999999",
          "1e-999999999999999999",
          "0.0e999999999999"};
}

TEST(JsonFloat, StrtodPathReadsTheNearestDouble) {
  struct Case {
    const char* text;
    double value;
  };
  for (const Case& c :
       {Case{"12.5e3", 12500.0}, Case{"-0.25", -0.25}, Case{"1E400", HUGE_VAL},
        Case{"-1e-400", -0.0}, Case{"4.9e-324", 4.9406564584124654e-324}, Case{"0.1", 0.1}}) {
    EXPECT_EQ(bits(detail::read_float_text_strtod(c.text)), bits(c.value)) << c.text;
  }
}

TEST(JsonFloat, BothPathsAgreeBitForBit) {
  std::vector<std::string> texts = edge_texts();
  std::mt19937_64 random(20250301);
  auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + random() % 10));
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string s = random() % 2 ? "-" : "";
    s += std::to_string(random() % 10);
    if (random() % 2) s += "." + digits(static_cast<int>(random() % 25) + 1);
    if (random() % 2) {
      s += random() % 2 ? "e" : "E";
      if (random() % 3 == 0) s += random() % 2 ? "-" : "+";
      s += std::to_string(random() % 340);
    }
    texts.push_back(s);
  }
  for (const std::string& t : texts) {
    ASSERT_EQ(bits(detail::read_float_text_strtod(t)), bits(read_float_text(t))) << t;
  }
}

TEST(JsonFloat, StrtodPathIgnoresTheLocalesDecimalPoint) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  bool comma = false;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "de_DE", "German"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      comma = true;
      break;
    }
  }
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const double got = detail::read_float_text_strtod("12.5");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(got, 12.5);
}

}  // namespace
}  // namespace ledgerly::engine::json
