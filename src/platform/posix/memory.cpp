// Memory on POSIX systems: anonymous mmap(2) mappings, madvise(2) for huge
// pages on Linux, malloc_trim(3) and mallopt(3) with the GNU C library.
#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/config.h"

#if LEDGERLY_HAVE_MALLOC_TRIM
#include <malloc.h>
#endif

namespace ledgerly::platform {

void* map_memory(std::size_t size) noexcept {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void unmap_memory(void* p, std::size_t size) noexcept { munmap(p, size); }

void advise_huge_pages(void* p, std::size_t size) noexcept {
#if LEDGERLY_HAVE_HUGE_PAGE_ADVICE && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (size < 2 * kHuge) return;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(page - 1);
  if (end <= begin) return;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

void release_free_heap() noexcept {
#if LEDGERLY_HAVE_MALLOC_TRIM
  malloc_trim(0);
#endif
}

void map_large_blocks(std::size_t size) noexcept {
#if LEDGERLY_HAVE_MALLOC_TRIM
  // Setting the threshold also stops glibc from moving it.
  mallopt(M_MMAP_THRESHOLD, size > INT32_MAX ? INT32_MAX : static_cast<int>(size));
#else
  (void)size;
#endif
}

}  // namespace ledgerly::platform
