// Memory taken from and handed back to the operating system directly,
// around the C++ heap.
#ifndef LEDGERLY_PLATFORM_MEMORY_H_
#define LEDGERLY_PLATFORM_MEMORY_H_

#include <cstddef>

namespace ledgerly::platform {

// Maps `size` bytes (size > 0) of zeroed, readable and writable memory
// apart from the heap: an anonymous mapping (mmap on POSIX systems,
// VirtualAlloc on Windows).  Returns null when the system refuses.
void* map_memory(std::size_t size) noexcept;

// Returns a block from map_memory() to the system at once; `size` is the
// size it was mapped with.
void unmap_memory(void* p, std::size_t size) noexcept;

// Advice that [p, p + size) is about to be written from end to end: where
// the system offers it (Linux), the whole pages inside the range are asked
// to be backed by huge pages, which saves most page faults of the first
// touch.  Only advice: does nothing elsewhere, for small ranges, or when
// the system declines.
void advise_huge_pages(void* p, std::size_t size) noexcept;

// Hands the heap's free memory back to the system where the C library can
// (glibc's malloc_trim); elsewhere does nothing, since those allocators
// return large free blocks by themselves.
void release_free_heap() noexcept;

// From now on, blocks of `size` bytes or more are mapped apart from the
// heap and given back to the system as soon as they are freed, where the C
// library decides that by a threshold it otherwise raises as large blocks
// are freed (glibc's M_MMAP_THRESHOLD); elsewhere does nothing.  For a
// long-lived process whose large blocks come and go (arrays of rows), so
// that freed ones do not stay resident in the heap.
void map_large_blocks(std::size_t size) noexcept;

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_MEMORY_H_
