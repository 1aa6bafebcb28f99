// Names on POSIX systems: joined with '/', bytes as they stand.
#include "platform/names.h"

namespace ledgerly::platform {

char path_separator() noexcept { return '/'; }

bool ends_in_separator(std::string_view path) noexcept {
  return !path.empty() && path.back() == '/';
}

std::size_t name_code_point(const char* /*p*/, const char* /*end*/, char32_t& /*cp*/) noexcept {
  return 0;
}

}  // namespace ledgerly::platform
