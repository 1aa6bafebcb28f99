// strerror_r comes in two shapes: the GNU one returns the message pointer
// (which may or may not be the caller's buffer), the XSI one returns a status
// and always writes the buffer.  The overloads below accept either.
#include "engine/os_error.h"

#include <string.h>

namespace ledgerly::engine {
namespace {

[[maybe_unused]] const char* message_of(const char* gnu_result, const char* /*buffer*/) {
  return gnu_result;
}

[[maybe_unused]] const char* message_of(int xsi_status, const char* buffer) {
  return xsi_status == 0 ? buffer : nullptr;
}

}  // namespace

std::string os_message(int errnum) {
  char buffer[256] = {};
  const char* text = message_of(strerror_r(errnum, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(errnum);
  return text;
}

std::string os_error_text(int errnum) {
  std::string out = os_message(errnum);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace ledgerly::engine
