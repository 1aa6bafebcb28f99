// Counters: the five per-file parse counts.  The line parser bumps them for
// the lines it rejects or drops; the driver sums them over the stored files.
#ifndef LEDGERLY_PARSER_COUNTERS_H_
#define LEDGERLY_PARSER_COUNTERS_H_

#include <cstdint>

namespace ledgerly::parser {

struct Counters {
  std::uint64_t malformed = 0;
  std::uint64_t invalid_usage = 0;
  std::uint64_t duplicate_snapshots = 0;
  std::uint64_t inherited_events = 0;
  std::uint64_t cumulative_resets = 0;
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_COUNTERS_H_
