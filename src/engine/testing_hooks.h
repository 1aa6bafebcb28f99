// Fault injection for the engine's own tests.  Compiled only when the
// engine is built with LEDGERLY_TESTING_HOOKS (a CMake option that shipped
// builds leave off); without it this header declares nothing and the engine
// reads no switch of any kind.
//
// Every fault is one-shot: the code that fires it clears it.  Tests set the
// switches before a refresh, on the refreshing thread, while no worker runs.
#ifndef LEDGERLY_ENGINE_TESTING_HOOKS_H_
#define LEDGERLY_ENGINE_TESTING_HOOKS_H_

#ifdef LEDGERLY_TESTING_HOOKS

#include <atomic>
#include <cstdint>

namespace ledgerly::engine::testing_hooks {

// The next worker to take a job throws while it holds the job lock, which
// leaves the lock poisoned for every other worker.
extern std::atomic<bool> throw_under_job_lock;

// The next worker to take a job throws after releasing the job lock.
extern std::atomic<bool> throw_outside_job_lock;

// When non-zero, starting the k-th worker thread of the next refresh
// (1-based) fails with the error number `fail_spawn_errno`.
extern std::atomic<std::uint32_t> fail_spawn_at;
extern std::atomic<int> fail_spawn_errno;

// When non-zero, the next delta a tracker makes finds only this many ids
// left, as a tracker that had numbered nearly 2^32 rows would.
extern std::atomic<std::uint64_t> delta_ids_left;

// Number of worker threads the latest refresh started.
extern std::atomic<std::uint32_t> threads_started;

// Clears every switch and the thread count.
void reset() noexcept;

}  // namespace ledgerly::engine::testing_hooks

#endif  // LEDGERLY_TESTING_HOOKS

#endif  // LEDGERLY_ENGINE_TESTING_HOOKS_H_
