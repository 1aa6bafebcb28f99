// Strict decoding of one session-log line into an Envelope.
//
// Contract:
//  - `line` is the raw bytes of one line; a trailing "\n" (or "\r\n") is
//    white space.  White space is exactly space, tab, LF and CR.
//  - Returns true and fills `out` (every field reset first) when the whole
//    line is one JSON object (or array-form Envelope) followed only by white
//    space and every known key has a value of its declared kind.  Returns
//    false otherwise; `out` is then unspecified and must not be used.
//  - Known keys may not repeat in one object (even after null); unknown keys
//    may repeat and their values are validated but skipped iteratively with
//    no depth limit.  Decoded values (records and Payload.source) may nest
//    at most 128 arrays/objects deep, counting the line's own object.
//  - Strings that are decoded (keys and text values) must be valid UTF-8;
//    \u escapes join surrogate pairs and reject lone surrogates.
//  - Counts are JSON integers in the signed 64-bit range; fractions and
//    exponents are rejected.
//  - Never throws except std::bad_alloc.
#ifndef LEDGERLY_PARSER_DECODE_H_
#define LEDGERLY_PARSER_DECODE_H_

#include <string_view>

#include "parser/records.h"

namespace ledgerly::parser {

bool decode_envelope(std::string_view line, Envelope& out);

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_DECODE_H_
