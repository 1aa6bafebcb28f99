// release_free_heap() and map_large_blocks(): the C heap of a long-lived
// host.  The C library keeps what is freed for later use; a server that has
// read a large tree once would otherwise stay as large as that made it.
// Both do nothing where the C library has no such call (platform/memory.h).
#include "lib/binding.h"
#include "platform/memory.h"

namespace ledgerly::lib {

// Blocks from this size on are mapped apart and returned when freed.
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;

PyObject* map_large_blocks(PyObject* /*module*/, PyObject* /*unused*/) {
  platform::map_large_blocks(kLargeBlock);
  Py_RETURN_NONE;
}

PyObject* release_free_heap(PyObject* /*module*/, PyObject* /*unused*/) {
  Py_BEGIN_ALLOW_THREADS
    platform::release_free_heap();
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

}  // namespace ledgerly::lib
