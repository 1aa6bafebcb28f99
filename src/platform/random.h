// Random bytes from the operating system, for hash seeds.
#ifndef LEDGERLY_PLATFORM_RANDOM_H_
#define LEDGERLY_PLATFORM_RANDOM_H_

#include <cstddef>

namespace ledgerly::platform {

// Fills `out` with `n` bytes from the system's cryptographic random
// source: getrandom(2) on Linux (when the kernel or a sandbox refuses it,
// /dev/urandom), /dev/urandom on other POSIX systems, BCryptGenRandom on
// Windows.  Returns false when no source delivered all `n` bytes; `out`
// then holds no useful value.  Thread-safe; never blocks once the system
// has seeded its generator.
bool random_bytes(void* out, std::size_t n) noexcept;

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_RANDOM_H_
