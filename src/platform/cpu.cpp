// Processor features, asked of the processor itself: through the
// compiler's CPU model where it has one (GCC, Clang), through CPUID and
// XGETBV with compilers of the Windows toolchain (clang-cl), which link no
// such model.
#include "platform/cpu.h"

#if (defined(__x86_64__) || defined(_M_X64)) && defined(_MSC_VER)
#include <intrin.h>
#endif

namespace ledgerly::platform {

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER)
  int regs[4];
  __cpuid(regs, 0);
  if (regs[0] < 7) return false;
  __cpuid(regs, 1);
  const bool osxsave = (regs[2] & (1 << 27)) != 0;
  const bool avx = (regs[2] & (1 << 28)) != 0;
  // The system saves the SSE and AVX register state (XCR0 bits 1 and 2).
  if (!osxsave || !avx || (_xgetbv(0) & 0x6) != 0x6) return false;
  __cpuidex(regs, 7, 0);
  return (regs[1] & (1 << 5)) != 0;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#endif
#else
  return false;
#endif
}

}  // namespace ledgerly::platform
