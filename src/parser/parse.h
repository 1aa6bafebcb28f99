// The line parser: one complete log line in, at most one Row out.
#ifndef LEDGERLY_PARSER_PARSE_H_
#define LEDGERLY_PARSER_PARSE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parser/context.h"
#include "parser/counters.h"
#include "parser/row.h"
#include "parser/text_pool.h"

namespace ledgerly::parser {

// True when the raw line holds one of the dialect's needles (`source` is the
// file's dialect code, see dialect.h): for the event dialect
// "\"token_count\"", "\"turn_context\"" or "\"session_meta\""; for the
// message dialect "\"usage\"".
// Lines without a needle are never decoded.
bool prefilter(std::string_view line, std::uint8_t source) noexcept;

// The position of the first of the dialect's needles in `text` (any number
// of lines), or std::string_view::npos.  A reader uses it to skip the lines
// that prefilter() would reject without looking at each of them.
std::size_t find_needle(std::string_view text, std::uint8_t source) noexcept;

// Parses one complete line (its line feed included) of a file whose manifest
// dialect code is `source`, updating the file's `context` and `counters` in
// place.  Returns the usage row the line yields, or nullopt.  Never fails:
// rejected lines only bump one of the counters.  With a `pool`, the model
// and directory texts the line sets come from it (so the files parsed
// through one pool share them); the results are the same without one.
std::optional<Row> parse(std::string_view line, std::uint8_t source, Context& context,
                         Counters& counters, TextPool* pool = nullptr);

// parse() for a line already known to hold one of the dialect's needles
// (find_needle() found one inside it): the same result, without searching
// the line again.  A line without a needle must go through parse().
std::optional<Row> parse_found(std::string_view line, std::uint8_t source, Context& context,
                               Counters& counters, TextPool* pool = nullptr);

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_PARSE_H_
