// EngineLock: the lock that serialises the refreshes of one engine.
//
// Contract:
//  - First come, first served: acquire() takes a ticket and waits until the
//    tickets before it have been released, so a caller that arrives while
//    others refresh back to back is served after at most those already
//    waiting.  Waiting is a condition-variable wait; a signal that
//    interrupts it does not cost the waiter its place.
//  - Poisoning: the holder may poison() the lock (a refresh failed in a way
//    that leaves the engine unusable).  From then on acquire() returns
//    Entry::kPoisoned at once, to waiters and new callers alike.
//  - Fork: when a process forks while any ticket of a lock is outstanding
//    (a refresh running or waiting in another thread), that lock is marked
//    busy-at-fork in the child, where acquire() returns
//    Entry::kForkedWhileBusy from then on instead of waiting for threads
//    that do not exist there.  A lock that was idle at the fork works in
//    the child as before.  Every EngineLock registers itself for this in a
//    process-wide list, with fork handlers installed once (platform/fork.h;
//    systems without fork() need none).
//  - Not copyable or movable (its address is registered).
#ifndef LEDGERLY_ENGINE_ENGINE_LOCK_H_
#define LEDGERLY_ENGINE_ENGINE_LOCK_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ledgerly::engine {

class EngineLock {
 public:
  enum class Entry { kAcquired, kPoisoned, kForkedWhileBusy };

  EngineLock();
  ~EngineLock();
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  // Waits for this caller's turn.  Only Entry::kAcquired makes the caller the
  // holder, who must then call release() exactly once.
  Entry acquire();

  // Ends the holder's turn and wakes the waiters.
  void release();

  // Called by the holder instead of release(): every later acquire() fails.
  void poison_and_release();

  // Tickets taken and not yet released: the holder's and the waiters'.
  std::uint64_t outstanding();

  // True in a forked child whose parent was using this lock at the fork.
  // The state guarded by such a lock may be half-changed and must be
  // neither used nor destroyed.
  bool forked_while_busy();

 private:
  enum class State : std::uint8_t { kUsable, kPoisoned, kForkedWhileBusy };
  friend struct LockRegistry;

  std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t next_ticket_ = 0;  // the ticket the next caller takes
  std::uint64_t serving_ = 0;      // the ticket whose turn it is
  State state_ = State::kUsable;

  // Links of the process-wide list of locks (guarded by its mutex).
  EngineLock* prev_ = nullptr;
  EngineLock* next_ = nullptr;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_ENGINE_LOCK_H_
