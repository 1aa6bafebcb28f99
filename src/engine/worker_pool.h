// The worker pool of one refresh: reader workers on their own threads,
// taking jobs from one shared list.
#ifndef LEDGERLY_ENGINE_WORKER_POOL_H_
#define LEDGERLY_ENGINE_WORKER_POOL_H_

#include <cstddef>
#include <vector>

#include "engine/reader.h"

namespace ledgerly::engine {

// Runs `count` workers (run_worker) on `list` and returns their results
// concatenated in start order.  Every thread started is joined before this
// returns or throws.  Throws FatalError when a thread cannot be started
// ("failed to spawn thread: ...", after joining the ones that did start) or
// when a worker died ("parser worker panicked: ...").
std::vector<WorkerResult> run_pool(JobList& list, std::size_t count);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_WORKER_POOL_H_
