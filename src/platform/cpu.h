// The processor's vector extensions, for the parser's runtime dispatch.
#ifndef LEDGERLY_PLATFORM_CPU_H_
#define LEDGERLY_PLATFORM_CPU_H_

namespace ledgerly::platform {

// True when this process may run AVX2 instructions: the processor has
// them and the system saves their registers.  Always false on processors
// other than x86-64, whose kernels are never compiled in.  Thread-safe;
// asks the processor on every call (callers keep the answer).
bool cpu_has_avx2() noexcept;

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_CPU_H_
