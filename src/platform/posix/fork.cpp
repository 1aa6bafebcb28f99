// Fork handlers on POSIX systems: pthread_atfork(3).
#include "platform/fork.h"

#include <pthread.h>

namespace ledgerly::platform {

bool on_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
  return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace ledgerly::platform
