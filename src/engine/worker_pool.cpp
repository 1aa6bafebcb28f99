// The worker pool: threads started one at a time, every one joined on every
// path, and the fatal errors of a thread that could not start or that died.
#include "engine/worker_pool.h"

#include <errno.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/fatal.h"
#include "engine/os_error.h"

#ifdef LEDGERLY_TESTING_HOOKS
#include "engine/testing_hooks.h"
#endif

namespace ledgerly::engine {
namespace {

const char* error_kind(int errnum) {
  switch (errnum) {
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EPERM:
    case EACCES: return "PermissionDenied";
    case EINVAL: return "InvalidInput";
    default: return "Uncategorized";
  }
}

std::string spawn_failure(int errnum) {
  std::string text = "failed to spawn thread: Os { code: ";
  text += std::to_string(errnum);
  text += ", kind: ";
  text += error_kind(errnum);
  text += ", message: \"";
  text += os_message(errnum);
  text += "\" }";
  return text;
}

}  // namespace

std::vector<WorkerResult> run_pool(JobList& list, std::size_t count) {
  std::vector<std::vector<WorkerResult>> outputs(count);
  std::vector<char> died(count, 0);  // one slot per thread; read after join
  std::vector<std::thread> threads;
  threads.reserve(count);

  auto join_all = [&threads] {
    for (std::thread& t : threads) t.join();
  };

  for (std::size_t i = 0; i < count; ++i) {
    try {
#ifdef LEDGERLY_TESTING_HOOKS
      if (testing_hooks::fail_spawn_at.load() == i + 1) {
        testing_hooks::fail_spawn_at = 0;
        throw std::system_error(testing_hooks::fail_spawn_errno.load(), std::generic_category());
      }
#endif
      threads.emplace_back([&list, &outputs, &died, i] {
        try {
          outputs[i] = run_worker(list);
        } catch (...) {
          died[i] = 1;
        }
      });
    } catch (const std::system_error& e) {
      join_all();
      throw FatalError(spawn_failure(e.code().value()));
    } catch (...) {
      join_all();
      throw;
    }
  }
#ifdef LEDGERLY_TESTING_HOOKS
  testing_hooks::threads_started = static_cast<std::uint32_t>(threads.size());
#endif
  join_all();

  if (std::find(died.begin(), died.end(), 1) != died.end()) {
    throw FatalError("parser worker panicked: Any { .. }");
  }
  std::size_t total = 0;
  for (const auto& out : outputs) total += out.size();
  std::vector<WorkerResult> results;
  results.reserve(total);
  for (auto& out : outputs) {
    for (WorkerResult& r : out) results.push_back(std::move(r));
  }
  return results;
}

}  // namespace ledgerly::engine
