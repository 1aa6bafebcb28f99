// The system's message for a C library error number.
#ifndef LEDGERLY_PLATFORM_ERROR_TEXT_H_
#define LEDGERLY_PLATFORM_ERROR_TEXT_H_

#include <string>

namespace ledgerly::platform {

// The message for error number `code` (an errno value) as the C locale
// gives it, whatever the process's or thread's locale, for example "No
// such file or directory"; "Unknown error <code>" for a number the system
// has no message for.  Always ASCII.  Thread-safe.
//
// The numbers that file, memory and thread calls report read as the GNU C
// library words them on every system (error_messages.h), so that a report
// says the same everywhere; any other number as the system's C library
// words it.
std::string error_message(int code);

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_ERROR_TEXT_H_
