// EngineLock: a ticket lock on a mutex and a condition variable, plus the
// process-wide list of locks that the fork handlers walk.
//
// Fork: the prepare handler takes the list's mutex and every lock's mutex,
// so that no lock is caught half-way through a change; the parent handler
// releases them.  In the child, only the forking thread exists: it releases
// the mutexes it took, gives every lock a fresh condition variable (the old
// one may count waiters that have no thread here, and waking them would
// wait forever), and marks every lock that had tickets outstanding.
#include "engine/engine_lock.h"

#include <memory>

#include "platform/fork.h"

namespace ledgerly::engine {

struct LockRegistry {
  static inline std::mutex mutex;
  static inline EngineLock* head = nullptr;

  static void prepare() {
    mutex.lock();
    for (EngineLock* lock = head; lock != nullptr; lock = lock->next_) lock->mutex_.lock();
  }

  static void parent() {
    for (EngineLock* lock = head; lock != nullptr; lock = lock->next_) lock->mutex_.unlock();
    mutex.unlock();
  }

  static void child() {
    for (EngineLock* lock = head; lock != nullptr; lock = lock->next_) {
      // The old condition variable is abandoned, not destroyed: destroying
      // one that other threads were waiting on is undefined, and in the
      // child those threads do not exist to stop waiting.
      std::construct_at(&lock->turn_);
      if (lock->next_ticket_ != lock->serving_ && lock->state_ == EngineLock::State::kUsable) {
        lock->state_ = EngineLock::State::kForkedWhileBusy;
      }
      lock->mutex_.unlock();
    }
    mutex.unlock();
  }

  static void add(EngineLock* lock) {
    // Installed once per process, before the first lock is listed.
    static const bool installed = platform::on_fork(&prepare, &parent, &child);
    (void)installed;
    std::lock_guard<std::mutex> hold(mutex);
    lock->next_ = head;
    if (head != nullptr) head->prev_ = lock;
    head = lock;
  }

  static void remove(EngineLock* lock) {
    std::lock_guard<std::mutex> hold(mutex);
    if (lock->prev_ != nullptr) {
      lock->prev_->next_ = lock->next_;
    } else {
      head = lock->next_;
    }
    if (lock->next_ != nullptr) lock->next_->prev_ = lock->prev_;
  }
};

EngineLock::EngineLock() { LockRegistry::add(this); }

EngineLock::~EngineLock() { LockRegistry::remove(this); }

EngineLock::Entry EngineLock::acquire() {
  std::unique_lock<std::mutex> hold(mutex_);
  if (state_ == State::kUsable) {
    const std::uint64_t ticket = next_ticket_++;
    turn_.wait(hold, [&] { return serving_ == ticket || state_ != State::kUsable; });
  }
  if (state_ == State::kPoisoned) return Entry::kPoisoned;
  if (state_ == State::kForkedWhileBusy) return Entry::kForkedWhileBusy;
  return Entry::kAcquired;
}

void EngineLock::release() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++serving_;
  turn_.notify_all();
}

void EngineLock::poison_and_release() {
  std::lock_guard<std::mutex> hold(mutex_);
  state_ = State::kPoisoned;
  ++serving_;
  turn_.notify_all();
}

std::uint64_t EngineLock::outstanding() {
  std::lock_guard<std::mutex> hold(mutex_);
  return next_ticket_ - serving_;
}

bool EngineLock::forked_while_busy() {
  std::lock_guard<std::mutex> hold(mutex_);
  return state_ == State::kForkedWhileBusy;
}

}  // namespace ledgerly::engine
