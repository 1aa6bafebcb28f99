// Report: the statistics of one refresh, and how it is written as JSON.
#ifndef LEDGERLY_ENGINE_REPORT_H_
#define LEDGERLY_ENGINE_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "parser/counters.h"

namespace ledgerly::engine {

struct Report {
  std::uint64_t scanned = 0;
  std::uint64_t changed = 0;
  std::uint64_t removed = 0;
  std::uint64_t bytes_read = 0;
  std::uint64_t rebuilt = 0;
  std::uint64_t appended = 0;
  // The parse counters summed over every stored file; inherited_events
  // also counts the rows the latest export dropped as inherited.
  parser::Counters counters;
  std::uint64_t pending_files = 0;
  std::uint64_t unresolved_forks = 0;
  std::vector<std::string> errors;
  bool updated = false;
};

// Appends the Report as one compact JSON object with its members in
// ascending byte order of their keys.
void write_report(std::string& out, const Report& report);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_REPORT_H_
