// The file reader worker: takes read jobs from a shared list and brings
// each file's state up to date by reading only what changed.
#ifndef LEDGERLY_ENGINE_READER_H_
#define LEDGERLY_ENGINE_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/input.h"
#include "engine/state.h"
#include "parser/shared_text.h"

namespace ledgerly::engine {

struct Job {
  Input input;
  std::unique_ptr<FileState> previous;  // null when no state was stored
  // The entry's project as a text the refresh shares among its jobs; empty
  // when not given (then a fresh state makes its own from input.project).
  parser::SharedText project{};
  // A previous state that the read replaces with a fresh one is handed back
  // in the result (`retired`) instead of being dropped by the worker.
  bool keep_previous = false;

  parser::SharedText project_text() const {
    return project.empty() ? parser::SharedText(input.project) : project;
  }
};

// The jobs of one refresh.  Workers remove jobs from the end under `lock`.
struct JobList {
  std::mutex lock;
  bool poisoned = false;  // a worker died while holding `lock`
  std::vector<Job> jobs;
};

struct ReadSummary {
  std::uint64_t bytes_read = 0;
  bool rebuilt = false;
  bool rows_changed = false;
};

struct WorkerResult {
  std::string path;
  std::unique_ptr<FileState> state;  // may be null (open failed, nothing stored)
  // With Job::keep_previous: the previous state, when the file was read
  // anew from its start.
  std::unique_ptr<FileState> retired;
  // The lowest index of a row that was stored before this read and that a
  // repeat of its message key replaced in place; SIZE_MAX when none was.
  std::size_t replaced_from = SIZE_MAX;
  bool failed = false;  // true: `error` holds the I/O error text
  ReadSummary summary;  // valid when !failed
  // "<system message> (os error N)", the NUL-byte text, or "not a regular
  // file (<kind>)" for a path that names a pipe, device or socket.
  std::string error;
};

// Processes one job (open, continue-or-rebuild, tail check, read, parse).
// Only regular files are read: anything else fails at open, without
// blocking.  A read that fails part-way keeps the lines parsed so far and
// marks the state (`retry`) so that the next refresh reads it again.
WorkerResult process_job(Job job);

// Worker body: takes jobs from the end of `list` until it is empty and
// returns one result per job in the order taken.  Throws FatalError
// ("job lock poisoned") when the list's lock is poisoned.
std::vector<WorkerResult> run_worker(JobList& list);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_READER_H_
