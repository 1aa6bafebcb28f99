// Handlers that keep process-wide locks usable across fork().
#ifndef LEDGERLY_PLATFORM_FORK_H_
#define LEDGERLY_PLATFORM_FORK_H_

namespace ledgerly::platform {

// Has `prepare` run in the forking thread just before every later fork(),
// `parent` in the parent and `child` in the child just after it, in the
// order pthread_atfork(3) gives.  Handlers cannot be removed again: call
// this once per process for each set.  Returns false when they could not
// be registered (out of memory).  On systems without fork() (Windows)
// there is nothing to guard against: it does nothing and returns true.
bool on_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_FORK_H_
