// Field normalisation: model names and service tiers.  Both are pure
// functions that never fail.
#ifndef LEDGERLY_PARSER_NORMALIZE_H_
#define LEDGERLY_PARSER_NORMALIZE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ledgerly::parser {

// Lower-cases `name` with the full Unicode lower-case mapping (final sigma
// included), drops one trailing "[1m]", then drops a trailing "-" followed
// by exactly eight ASCII digits after the last dash.  An empty result is
// "unknown".  `name` must be valid UTF-8 (decoded strings always are).
std::string normalize(std::string_view name);

// Service-tier code: "default"/"standard" 1, "fast" 2, "priority" 3,
// "flex" 4; anything else, and an absent text, 0.  Exact byte comparison.
std::uint8_t tier(std::optional<std::string_view> text) noexcept;

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_NORMALIZE_H_
