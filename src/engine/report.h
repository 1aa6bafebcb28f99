// Report: the statistics of one refresh, and the compact JSON writer used
// for every text the engine returns.
#ifndef LEDGERLY_ENGINE_REPORT_H_
#define LEDGERLY_ENGINE_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ledgerly::engine {

struct Report {
  std::uint64_t scanned = 0;
  std::uint64_t changed = 0;
  std::uint64_t removed = 0;
  std::uint64_t bytes_read = 0;
  std::uint64_t rebuilt = 0;
  std::uint64_t appended = 0;
  std::uint64_t malformed = 0;
  std::uint64_t invalid_usage = 0;
  std::uint64_t duplicate_snapshots = 0;
  std::uint64_t inherited_events = 0;
  std::uint64_t cumulative_resets = 0;
  std::uint64_t pending_files = 0;
  std::uint64_t unresolved_forks = 0;
  std::vector<std::string> errors;
  bool updated = false;
};

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

// Appends the Report as one compact JSON object with its members in
// ascending byte order of their keys.
void write_report(std::string& out, const Report& report);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_REPORT_H_
