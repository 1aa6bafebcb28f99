// Counters: the per-file parse counts.  The line parser bumps them for the
// lines it rejects or drops; the driver sums them over the stored files and
// the report writes the sums.
//
// kCounterFields is the one list of the counters: summing, the report's
// sums and the report's JSON all walk it, so a new counter is a member
// here plus its entry in the list (the static_assert below insists).
#ifndef LEDGERLY_PARSER_COUNTERS_H_
#define LEDGERLY_PARSER_COUNTERS_H_

#include <cstdint>
#include <iterator>
#include <string_view>

namespace ledgerly::parser {

struct Counters {
  std::uint64_t malformed = 0;            // prefiltered lines that did not decode
  std::uint64_t invalid_usage = 0;        // usage with impossible counts
  std::uint64_t duplicate_snapshots = 0;  // a running total repeated unchanged
  std::uint64_t inherited_events = 0;     // usage from before the session started
  std::uint64_t cumulative_resets = 0;    // a running total that went down

  Counters& operator+=(const Counters& other) noexcept;
  Counters& operator-=(const Counters& other) noexcept;  // of counts added before
};

// A counter and its key in the report.
struct CounterField {
  std::string_view name;
  std::uint64_t Counters::*member;
};

inline constexpr CounterField kCounterFields[] = {
    {"malformed", &Counters::malformed},
    {"invalid_usage", &Counters::invalid_usage},
    {"duplicate_snapshots", &Counters::duplicate_snapshots},
    {"inherited_events", &Counters::inherited_events},
    {"cumulative_resets", &Counters::cumulative_resets},
};
static_assert(sizeof(Counters) == std::size(kCounterFields) * sizeof(std::uint64_t),
              "every member of Counters must be listed in kCounterFields");

inline Counters& Counters::operator+=(const Counters& other) noexcept {
  for (const CounterField& field : kCounterFields) this->*field.member += other.*field.member;
  return *this;
}

inline Counters& Counters::operator-=(const Counters& other) noexcept {
  for (const CounterField& field : kCounterFields) this->*field.member -= other.*field.member;
  return *this;
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_COUNTERS_H_
