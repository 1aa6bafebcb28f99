// Storage for the fault-injection switches (test builds only).
#include "engine/testing_hooks.h"

#ifdef LEDGERLY_TESTING_HOOKS

namespace ledgerly::engine::testing_hooks {

std::atomic<bool> throw_under_job_lock{false};
std::atomic<bool> throw_outside_job_lock{false};
std::atomic<std::uint32_t> fail_spawn_at{0};
std::atomic<int> fail_spawn_errno{0};
std::atomic<std::uint64_t> delta_ids_left{0};
std::atomic<std::uint32_t> threads_started{0};

void reset() noexcept {
  throw_under_job_lock = false;
  throw_outside_job_lock = false;
  fail_spawn_at = 0;
  fail_spawn_errno = 0;
  delta_ids_left = 0;
  threads_started = 0;
}

}  // namespace ledgerly::engine::testing_hooks

#endif  // LEDGERLY_TESTING_HOOKS
