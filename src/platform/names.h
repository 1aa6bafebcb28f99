// Names and paths as the system spells them: the separator that joins a
// folder and a name, and how a name holds a code unit that well-formed
// UTF-8 cannot (dir.h).
//
// Contract:
//  - POSIX systems join with '/', and their names are bytes: a byte that
//    belongs to no valid UTF-8 sequence is just that byte, which the host
//    decodes as the code point 0xDC00 + byte.
//  - Windows joins with '\', also takes '/' and a drive's ':' as the end of
//    a folder, and names are UTF-16: a lone surrogate, which no valid UTF-8
//    holds, is written in its three-byte form (generalized UTF-8) and
//    stands for itself.
#ifndef LEDGERLY_PLATFORM_NAMES_H_
#define LEDGERLY_PLATFORM_NAMES_H_

#include <cstddef>
#include <string_view>

namespace ledgerly::platform {

// The separator the host joins a folder and a name with.
char path_separator() noexcept;

// Whether `path` ends where a name can follow it without a separator.
bool ends_in_separator(std::string_view path) noexcept;

// The code point the bytes at `p` (before `end`, which they do not reach
// past) stand for when they start no well-formed UTF-8 sequence but a
// form the system's names use, and the bytes it takes; 0 when they start
// no such form (the caller then takes one byte as 0xDC00 + byte).
std::size_t name_code_point(const char* p, const char* end, char32_t& cp) noexcept;

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_NAMES_H_
