// Random bytes on Windows: BCryptGenRandom with the system's preferred
// generator.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "platform/random.h"

namespace ledgerly::platform {

bool random_bytes(void* out, std::size_t n) noexcept {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ULONG chunk = n < 0x10000000 ? static_cast<ULONG>(n) : 0x10000000;
    if (BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

}  // namespace ledgerly::platform
