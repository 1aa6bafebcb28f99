// Memory on Windows: VirtualAlloc / VirtualFree for mappings apart from the
// heap.  Huge pages need a privilege that user accounts lack, and the
// system heap returns large free blocks by itself, so the other two calls
// have nothing to do.
#include "platform/memory.h"

#include <windows.h>

namespace ledgerly::platform {

void* map_memory(std::size_t size) noexcept {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_memory(void* p, std::size_t) noexcept { VirtualFree(p, 0, MEM_RELEASE); }

void advise_huge_pages(void*, std::size_t) noexcept {}

void release_free_heap() noexcept {}

void map_large_blocks(std::size_t) noexcept {}

}  // namespace ledgerly::platform
