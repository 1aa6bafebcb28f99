// Timestamps of log lines: RFC 3339 date-times read as Unix milliseconds.
#ifndef LEDGERLY_PARSER_TIMESTAMP_H_
#define LEDGERLY_PARSER_TIMESTAMP_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace ledgerly::parser {

// RFC 3339 date-time to Unix milliseconds (fraction truncated, floor for
// instants before 1970).  Absent or unparsable text gives nullopt.
std::optional<std::int64_t> timestamp(std::optional<std::string_view> text) noexcept;

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_TIMESTAMP_H_
