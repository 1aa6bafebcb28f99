// Texts for operating-system errors, in the form the engine reports them.
#ifndef LEDGERLY_ENGINE_OS_ERROR_H_
#define LEDGERLY_ENGINE_OS_ERROR_H_

#include <string>

namespace ledgerly::engine {

// The system's message for `errnum` in the C locale, whatever the
// process's locale (for example "No such file or directory"); always ASCII
// (platform/error_text.h).
std::string os_message(int errnum);

// "<system message> (os error <errnum>)".
std::string os_error_text(int errnum);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_OS_ERROR_H_
