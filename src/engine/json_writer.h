// Compact JSON output for every text the engine returns: strings, arrays of
// strings and unsigned integers, appended to a std::string.
#ifndef LEDGERLY_ENGINE_JSON_WRITER_H_
#define LEDGERLY_ENGINE_JSON_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace ledgerly::engine {

// Appends `s` as a JSON string literal: `"` and `\` escaped, \b \t \n \f \r
// for those controls, \u00xx (lower-case hex) for the other bytes below
// 0x20, every other byte (0x7F and non-ASCII included) as it is.
void write_json_string(std::string& out, std::string_view s);

// Appends `texts` as a JSON array of strings, escaped as above.
template <typename Texts>
void write_json_string_array(std::string& out, const Texts& texts) {
  out.push_back('[');
  bool first = true;
  for (const auto& text : texts) {
    if (!first) out.push_back(',');
    first = false;
    write_json_string(out, text);
  }
  out.push_back(']');
}

// Appends an unsigned integer in plain decimal.
void write_json_uint(std::string& out, std::uint64_t v);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_JSON_WRITER_H_
