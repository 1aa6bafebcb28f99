// The dialect code of a log file.  The host gives it as the manifest entry's
// `source`, and every row the file yields carries it on as its `kind`, so
// both name the same 8-bit code:
//  - kMessageDialect (0): the message dialect.  Its rows carry a dedup key
//    and are kept once per key across all files.
//  - kForkingEventDialect (1): the event dialect, for logs whose forked
//    sessions open by replaying their parent's events.  Only rows of this
//    code are matched against a parent's rows, so that replayed usage is
//    counted once.
//  - any other value: the event dialect, for logs whose forks (if any)
//    replay nothing: their rows are always counted as they stand.
#ifndef LEDGERLY_PARSER_DIALECT_H_
#define LEDGERLY_PARSER_DIALECT_H_

#include <cstdint>

namespace ledgerly::parser {

inline constexpr std::uint8_t kMessageDialect = 0;
inline constexpr std::uint8_t kForkingEventDialect = 1;

// True for the message dialect, false for every event-dialect code.
constexpr bool is_message_dialect(std::uint8_t code) noexcept { return code == kMessageDialect; }

// True for the one code whose rows take part in fork inheritance.
constexpr bool takes_part_in_forks(std::uint8_t code) noexcept {
  return code == kForkingEventDialect;
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_DIALECT_H_
