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

namespace ledgerly::engine {

struct LockRegistry {
  static inline pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  static inline EngineLock* head = nullptr;

  static void prepare() {
    pthread_mutex_lock(&mutex);
    for (EngineLock* lock = head; lock != nullptr; lock = lock->next_) {
      pthread_mutex_lock(&lock->mutex_);
    }
  }

  static void parent() {
    for (EngineLock* lock = head; lock != nullptr; lock = lock->next_) {
      pthread_mutex_unlock(&lock->mutex_);
    }
    pthread_mutex_unlock(&mutex);
  }

  static void child() {
    for (EngineLock* lock = head; lock != nullptr; lock = lock->next_) {
      pthread_cond_init(&lock->turn_, nullptr);
      if (lock->next_ticket_ != lock->serving_ && lock->state_ == EngineLock::State::kUsable) {
        lock->state_ = EngineLock::State::kForkedWhileBusy;
      }
      pthread_mutex_unlock(&lock->mutex_);
    }
    pthread_mutex_unlock(&mutex);
  }

  static void add(EngineLock* lock) {
    // Installed once per process, before the first lock is listed.
    static const int installed = pthread_atfork(&prepare, &parent, &child);
    (void)installed;
    pthread_mutex_lock(&mutex);
    lock->next_ = head;
    if (head != nullptr) head->prev_ = lock;
    head = lock;
    pthread_mutex_unlock(&mutex);
  }

  static void remove(EngineLock* lock) {
    pthread_mutex_lock(&mutex);
    if (lock->prev_ != nullptr) {
      lock->prev_->next_ = lock->next_;
    } else {
      head = lock->next_;
    }
    if (lock->next_ != nullptr) lock->next_->prev_ = lock->prev_;
    pthread_mutex_unlock(&mutex);
  }
};

EngineLock::EngineLock() { LockRegistry::add(this); }

EngineLock::~EngineLock() {
  LockRegistry::remove(this);
  pthread_cond_destroy(&turn_);
  pthread_mutex_destroy(&mutex_);
}

EngineLock::Entry EngineLock::acquire() {
  pthread_mutex_lock(&mutex_);
  if (state_ == State::kUsable) {
    const std::uint64_t ticket = next_ticket_++;
    while (serving_ != ticket && state_ == State::kUsable) pthread_cond_wait(&turn_, &mutex_);
  }
  Entry entry = Entry::kAcquired;
  if (state_ == State::kPoisoned) entry = Entry::kPoisoned;
  if (state_ == State::kForkedWhileBusy) entry = Entry::kForkedWhileBusy;
  pthread_mutex_unlock(&mutex_);
  return entry;
}

void EngineLock::release() {
  pthread_mutex_lock(&mutex_);
  ++serving_;
  pthread_cond_broadcast(&turn_);
  pthread_mutex_unlock(&mutex_);
}

void EngineLock::poison_and_release() {
  pthread_mutex_lock(&mutex_);
  state_ = State::kPoisoned;
  ++serving_;
  pthread_cond_broadcast(&turn_);
  pthread_mutex_unlock(&mutex_);
}

std::uint64_t EngineLock::outstanding() {
  pthread_mutex_lock(&mutex_);
  const std::uint64_t count = next_ticket_ - serving_;
  pthread_mutex_unlock(&mutex_);
  return count;
}

bool EngineLock::forked_while_busy() {
  pthread_mutex_lock(&mutex_);
  const bool busy = state_ == State::kForkedWhileBusy;
  pthread_mutex_unlock(&mutex_);
  return busy;
}

}  // namespace ledgerly::engine
