// A backward byte search, memrchr(3) where the C library has it.
#ifndef LEDGERLY_PLATFORM_BYTES_H_
#define LEDGERLY_PLATFORM_BYTES_H_

#include <string.h>

#include <cstddef>

#include "platform/config.h"

namespace ledgerly::platform {

// The last byte equal to `c` in [p, p + n), or null; `p` may be null when
// `n` is 0.
inline const char* find_last_byte(const char* p, std::size_t n, char c) noexcept {
#if LEDGERLY_HAVE_MEMRCHR
  // memrchr's pointer must not be null, even for an empty range.
  return n == 0 ? nullptr : static_cast<const char*>(::memrchr(p, c, n));
#else
  while (n > 0) {
    --n;
    if (p[n] == c) return p + n;
  }
  return nullptr;
#endif
}

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_BYTES_H_
