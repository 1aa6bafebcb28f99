// Floating-point numbers of the manifest decoder: reading JSON number text as
// a double, and the text its messages show for one.
#ifndef LEDGERLY_ENGINE_JSON_FLOAT_H_
#define LEDGERLY_ENGINE_JSON_FLOAT_H_

#include <string>
#include <string_view>

namespace ledgerly::engine::json {

// Returns the double nearest to `s`, a well-formed JSON number; magnitudes
// beyond the double range become infinity, those below it zero (signed).
double read_float_text(std::string_view s);

namespace detail {
// The same through the C library's strtod, for C++ libraries that lack
// std::from_chars for doubles; built everywhere so that it is tested
// against std::from_chars where both exist.
double read_float_text_strtod(std::string_view s);
}  // namespace detail

// Appends the shortest decimal text that reads back as exactly `v`:
//  - decimal point position k (v = 0.DIGITS x 10^k) with 0 < k <= 16:
//    plain notation, ".0" added to whole values ("1000.0", "12.5");
//  - -5 < k <= 0: leading zeros ("0.001234");
//  - otherwise exponent notation without '+' or padding ("1e16",
//    "1.8446744073709552e19", "1.5e-7");
//  - zeros as "0.0" / "-0.0", infinities as "inf" / "-inf".
void append_float_text(std::string& out, double v);

}  // namespace ledgerly::engine::json

#endif  // LEDGERLY_ENGINE_JSON_FLOAT_H_
