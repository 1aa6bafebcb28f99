// release_free_heap(): hands the C heap's free memory back to the system,
// for a long-lived host after work that freed much (a first reading of
// every log, say).  The C library keeps what is freed for later use; a
// server that has read a large tree once would otherwise stay that large.
// Does nothing where the C library has no such call (platform/memory.h).
#include "lib/binding.h"
#include "platform/memory.h"

namespace ledgerly::lib {

PyObject* release_free_heap(PyObject* /*module*/, PyObject* /*unused*/) {
  Py_BEGIN_ALLOW_THREADS
    platform::release_free_heap();
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

}  // namespace ledgerly::lib
