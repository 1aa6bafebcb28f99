#include "engine/os_error.h"

#include "platform/error_text.h"

namespace ledgerly::engine {

std::string os_message(int errnum) { return platform::error_message(errnum); }

std::string os_error_text(int errnum) {
  std::string out = os_message(errnum);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace ledgerly::engine
