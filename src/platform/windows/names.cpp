// Names on Windows: joined with '\' (a folder also ends in '/' or a drive's
// ':'), UTF-16 written as generalized UTF-8.
#include "platform/names.h"

namespace ledgerly::platform {

char path_separator() noexcept { return '\\'; }

bool ends_in_separator(std::string_view path) noexcept {
  return !path.empty() && (path.back() == '\\' || path.back() == '/' || path.back() == ':');
}

std::size_t name_code_point(const char* p, const char* end, char32_t& cp) noexcept {
  // A lone surrogate, written in three bytes as any other code point below U+10000.
  if (end - p < 3 || static_cast<unsigned char>(p[0]) != 0xED) return 0;
  const auto b1 = static_cast<unsigned char>(p[1]);
  const auto b2 = static_cast<unsigned char>(p[2]);
  if (b1 < 0xA0 || b1 > 0xBF || b2 < 0x80 || b2 > 0xBF) return 0;
  cp = 0xD000 | (char32_t{b1} & 0x3F) << 6 | (char32_t{b2} & 0x3F);
  return 3;
}

}  // namespace ledgerly::platform
