// The engine lock: first come, first served; poisoning; and a forked child
// of a process that was using it.
#include "engine/engine_lock.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace ledgerly::engine {
namespace {

using Entry = EngineLock::Entry;

// Waits until `lock` has `count` tickets outstanding.
void wait_for_tickets(EngineLock& lock, std::uint64_t count) {
  while (lock.outstanding() != count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(EngineLock, WaitersAreServedInArrivalOrder) {
  EngineLock lock;
  ASSERT_EQ(lock.acquire(), Entry::kAcquired);
  std::mutex order_mutex;
  std::vector<int> order;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 6; ++i) {
    waiters.emplace_back([&, i] {
      ASSERT_EQ(lock.acquire(), Entry::kAcquired);
      {
        std::lock_guard<std::mutex> guard(order_mutex);
        order.push_back(i);
      }
      lock.release();
    });
    wait_for_tickets(lock, static_cast<std::uint64_t>(i) + 2);  // the holder's and i + 1 waiters'
  }
  lock.release();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(lock.outstanding(), 0u);
}

TEST(EngineLock, PoisoningFailsWaitersAndLaterCallers) {
  EngineLock lock;
  ASSERT_EQ(lock.acquire(), Entry::kAcquired);
  std::vector<Entry> seen(3, Entry::kAcquired);
  std::vector<std::thread> waiters;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    waiters.emplace_back([&, i] { seen[i] = lock.acquire(); });
  }
  wait_for_tickets(lock, 4);
  lock.poison_and_release();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(seen, std::vector<Entry>(3, Entry::kPoisoned));
  EXPECT_EQ(lock.acquire(), Entry::kPoisoned);
}

#if !defined(_WIN32)
// Forks while `busy` is held by another thread (and, when `with_waiter`,
// waited for by a third); returns what the child saw, as an exit code:
// 0 when the busy lock refused it and an idle lock worked.
int child_view_of_fork(bool with_waiter) {
  EngineLock busy, idle;
  std::thread holder;
  std::thread waiter;
  std::mutex release;
  release.lock();
  holder = std::thread([&] {
    if (busy.acquire() != Entry::kAcquired) return;
    release.lock();  // until the fork is done
    release.unlock();
    busy.release();
  });
  wait_for_tickets(busy, 1);
  if (with_waiter) {
    waiter = std::thread([&] {
      if (busy.acquire() == Entry::kAcquired) busy.release();
    });
    wait_for_tickets(busy, 2);
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 0;
    if (busy.acquire() != Entry::kForkedWhileBusy) code |= 1;
    if (!busy.forked_while_busy()) code |= 2;
    if (idle.acquire() != Entry::kAcquired) code |= 4;
    idle.release();
    if (idle.forked_while_busy()) code |= 8;
    ::_exit(code);
  }
  release.unlock();
  holder.join();
  if (waiter.joinable()) waiter.join();
  // The parent's lock is not affected.
  EXPECT_EQ(busy.acquire(), Entry::kAcquired);
  busy.release();
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

#endif

TEST(EngineLock, AForkedChildDoesNotWaitForThreadsItDoesNotHave) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows has no fork()";
#else
  EXPECT_EQ(child_view_of_fork(false), 0);
  EXPECT_EQ(child_view_of_fork(true), 0);
#endif
}

}  // namespace
}  // namespace ledgerly::engine
