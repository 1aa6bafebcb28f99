// Error texts on Windows: the common numbers as the GNU C library words
// them (error_messages.h), any other as the C runtime words it (always in
// English).  The numbers themselves are the runtime's: ENOENT, EACCES,
// EISDIR, EINVAL, EIO and the other classic ones have the same values as
// on Linux, ENAMETOOLONG is 38 and ELOOP 114 here.
#include "platform/error_text.h"

#include <string.h>

#include "platform/error_messages.h"

namespace ledgerly::platform {

std::string error_message(int code) {
  if (const char* text = gnu_message(code)) return text;
  char buf[256];
  if (strerror_s(buf, sizeof buf, code) == 0 && buf[0] != '\0' &&
      strncmp(buf, "Unknown error", 13) != 0) {
    return buf;
  }
  return "Unknown error " + std::to_string(code);
}

}  // namespace ledgerly::platform
