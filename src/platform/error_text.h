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
// On POSIX systems it is the C library's own text.  On Windows, whose C
// runtime words some messages differently, the errno values that file
// errors map to (see windows/win32_error.h) and the other common ones read
// as on Linux.
std::string error_message(int code);

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_ERROR_TEXT_H_
