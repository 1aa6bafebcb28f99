// Finding where a skipped JSON string ends, a block of bytes at a time.
//
// The line decoder skips most of the text of a usage line: reasoning,
// answers and instructions, long and full of escapes.  Skipping such a
// string only needs its closing quote found and its syntax checked, so the
// kernels here look at 64 bytes at once instead of stopping at each escape:
//  - masks of the block's quotes, backslashes and control bytes;
//  - the bytes escaped by a backslash are the ones right after a run of
//    backslashes of odd length (the parity of a run that reaches the end of
//    a block is carried into the next one);
//  - the first quote that is not escaped ends the string; a control byte
//    before it is a fault, and each escaped byte before it is looked up
//    (escapes are sparse), with the four hex digits of a \u escape checked
//    in scalar code.
//
// Contract:
//  - find_string_end(p, end): `p` is just past a string's opening quote.
//    Returns the position of the closing quote when every byte before it
//    is valid inside a JSON string (no raw byte below 0x20; each backslash
//    starts \" \\ \/ \b \f \n \r \t or \u and four hex digits), and nullptr
//    when the string is not valid or [p, end) ends before its closing
//    quote.  UTF-8 is not checked: bytes from 0x80 up pass.
//  - Nothing outside [p, end) is read; no allocation; never throws.
//  - Every kernel gives the same result as find_string_end_scalar(), the
//    byte-at-a-time reference.  The kernel is chosen once per process
//    (AVX2 when the CPU has it, else SSE2 on x86-64, else scalar);
//    find_string_end_with() runs a named one (tests cover each kernel).
#ifndef LEDGERLY_PARSER_STRING_END_H_
#define LEDGERLY_PARSER_STRING_END_H_

#include "parser/search.h"
#include "parser/simd_scan.h"

namespace ledgerly::parser {

const char* find_string_end_scalar(const char* p, const char* end) noexcept;
// Runs `kernel`, which must be supported (kernel_supported()).
const char* find_string_end_with(SearchKernel kernel, const char* p, const char* end) noexcept;

namespace detail {
// The block kernel of this machine, for strings not settled by their first 16 bytes.
const char* find_string_end_blocks(const char* p, const char* end) noexcept;
}  // namespace detail

inline const char* find_string_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  // Most skipped strings are short and plain: when the first byte that
  // needs a look within 16 bytes is a quote, that is the end.
  if (end - p >= 16) {
    const int m = simd::detail::stop_mask(simd::detail::load16(p));
    if (m != 0) {
      const char* q = simd::detail::first_set(p, m);
      if (*q == '"') return q;
    }
  }
#endif
  return detail::find_string_end_blocks(p, end);
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_STRING_END_H_
