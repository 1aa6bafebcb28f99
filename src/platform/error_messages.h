// The GNU C library's wording of the common error numbers.
#ifndef LEDGERLY_PLATFORM_ERROR_MESSAGES_H_
#define LEDGERLY_PLATFORM_ERROR_MESSAGES_H_

namespace ledgerly::platform {

// The message the GNU C library gives in the C locale for error number
// `code` (an errno value of the C library in use, whatever its numbering),
// for the numbers that file, memory and thread calls report; null for any
// other number.  Other C libraries word some of these differently (musl's
// "I/O error", the Windows runtime's "Filename too long"): reports use
// this wording on every system, so that they read the same everywhere.
const char* gnu_message(int code) noexcept;

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_ERROR_MESSAGES_H_
