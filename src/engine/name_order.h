// The order in which a listing takes the names of one folder: the order of
// the names as the host's own text (Python's str) compares them, code point
// by code point, so that the native listing and the host's walk agree.
//
// A name that is valid UTF-8 compares as its code points, which for valid
// UTF-8 is the order of its bytes.  On POSIX systems a byte that belongs to
// no valid sequence stands for the code point 0xDC00 + byte (as the host
// decodes file names); on Windows names are generalized UTF-8 (dir.h) and a
// lone surrogate stands for itself.
#ifndef LEDGERLY_ENGINE_NAME_ORDER_H_
#define LEDGERLY_ENGINE_NAME_ORDER_H_

#include <string_view>

namespace ledgerly::engine {

// Whether `name` is well-formed UTF-8 (no surrogate, shortest forms).
bool is_utf8(std::string_view name) noexcept;

// Whether `a` comes before `b`; `a_utf8` and `b_utf8` are is_utf8() of each.
bool name_before(std::string_view a, bool a_utf8, std::string_view b, bool b_utf8) noexcept;

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_NAME_ORDER_H_
