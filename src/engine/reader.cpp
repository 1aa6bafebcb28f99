// The file reader worker.
//
// Lines are parsed where they lie in a 256 KiB read buffer; only a line
// that starts in one read and ends in a later one is assembled in a separate
// line buffer, which is emptied (its capacity kept) after each such line.
// Within a read, only the lines holding a needle are delimited and parsed.
// The observable results are those of assembling every line in the line
// buffer and parsing each one.
#include "engine/reader.h"

#include <errno.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "engine/fatal.h"
#include "engine/os_error.h"
#include "parser/parse.h"
#include "platform/bytes.h"
#include "platform/file.h"

#ifdef LEDGERLY_TESTING_HOOKS
#include "engine/testing_hooks.h"
#endif

namespace ledgerly::engine {
namespace {

using platform::File;
using platform::FileKind;

constexpr std::size_t kReadSize = 262144;

// Buffers one worker reuses for all its jobs; the read buffer is allocated
// by the first job that reads (a worker of a no-op refresh takes none).
struct Buffers {
  std::unique_ptr<char[]> read;
  std::string line;  // a line that spans two reads
  // The model and directory texts of the files this worker reads in one
  // refresh, shared among them.
  parser::TextPool texts;

  char* read_buffer() {
    if (read == nullptr) read.reset(new char[kReadSize]);  // left uninitialised
    return read.get();
  }
};

// True when the `tail.size()` bytes just before `offset` equal `tail`.
// Any failure (cannot read, too few bytes) counts as a mismatch.
bool tail_matches(File& file, const Tail& tail, std::uint64_t offset) {
  std::string_view want = tail.view();
  if (offset < want.size()) return false;
  char got[Tail::kCapacity];
  std::size_t have = 0;
  return file.read_at(offset - want.size(), got, want.size(), have) == 0 && have == want.size() &&
         std::memcmp(got, want.data(), want.size()) == 0;
}

// Why a file that is not a regular file is refused.  A directory keeps the
// system's own text; other kinds are named.
std::string not_regular_text(FileKind kind) {
  switch (kind) {
    case FileKind::kDirectory: return os_error_text(EISDIR);
    case FileKind::kNamedPipe: return "not a regular file (named pipe)";
    case FileKind::kCharacterDevice: return "not a regular file (character device)";
    case FileKind::kBlockDevice: return "not a regular file (block device)";
    case FileKind::kSocket: return "not a regular file (socket)";
    default: return "not a regular file (unknown kind of file)";
  }
}

// Opens `path` for reading if it names a regular file.  The open itself
// never blocks (a named pipe without a writer would hold the refresh for
// ever, a terminal device could become the controlling one).  Returns the
// open file, or a closed one with `error` set to the text to report.
File open_regular(const std::string& path, std::string& error) {
  platform::OpenResult opened = platform::open_for_reading(path);
  if (opened.error != 0) {
    error = os_error_text(opened.error);
  } else if (opened.kind != FileKind::kRegular) {
    error = not_regular_text(opened.kind);
  }
  return std::move(opened.file);
}

// The last line feed in [p, end), or null.
const char* last_line_feed(const char* p, const char* end) noexcept {
  return platform::find_last_byte(p, static_cast<std::size_t>(end - p), '\n');
}

// A message response is often logged as several lines (one per content
// block), each yielding a row with the same key.  Row selection keeps one
// row per key: the first occurrence's place with the best occurrence's
// content, the best being the first of those that no later one outranks.
// All occurrences of a key inside one file are consecutive in the order
// selection visits them (files are visited whole), so settling them here,
// as they are read, gives the same export while storing one row instead of
// several.  Looks back a few rows only: repeats are almost always adjacent,
// and one that is missed is settled by the selection all the same.
//
// Returns true when `row` was settled against an earlier row of `rows`
// (replacing it or dropped); false when it must be appended.  A row it
// replaces lowers `replaced_from` to its index.
bool fold_repeat(std::vector<parser::Row>& rows, parser::Row& row, std::size_t& replaced_from) {
  if (!row.is_message()) return false;
  const std::string_view key = row.key();
  if (key.empty()) return false;
  constexpr std::size_t kLookBack = 4;
  const std::size_t stop = rows.size() > kLookBack ? rows.size() - kLookBack : 0;
  for (std::size_t i = rows.size(); i-- > stop;) {
    parser::Row& earlier = rows[i];
    if (!earlier.is_message() || earlier.key() != key) continue;
    if (outranks(row, earlier)) {
      earlier = std::move(row);
      replaced_from = std::min(replaced_from, i);
    }
    return true;
  }
  return false;
}

// Reads [state.offset, state.input.size) and parses every complete line,
// counting the rows that parsing yields in `rows_made` (stored or folded)
// and lowering `replaced_from` to the index of any row a repeat replaced.
// Returns 0, or the error number of a failed seek or read.
//
// Only lines holding one of the dialect's needles can change the state
// (parse() drops every other line before decoding it), so the complete
// lines of a read are not visited one by one: the needle search runs over
// all of them at once, and only the line around each hit is delimited and
// parsed.  The offset and tail then move past the whole run of lines,
// exactly where parsing each line in turn would have left them.
int read_new_lines(File& file, FileState& state, Buffers& buffers, std::uint64_t& bytes_read,
                   std::uint64_t& rows_made, std::size_t& replaced_from) {
  if (const int err = file.seek(state.offset); err != 0) return err;

  const std::uint8_t source = state.source;
  std::string& pending = buffers.line;
  pending.clear();
  char* const buf = buffers.read_buffer();
  std::uint64_t left = state.size > state.offset ? state.size - state.offset : 0;

  // `found`: the needle search has found a needle inside the line.
  auto parse_line = [&](std::string_view line, bool found) {
    std::optional<parser::Row> row =
        found ? parser::parse_found(line, source, state.context, state.counters, &buffers.texts)
              : parser::parse(line, source, state.context, state.counters, &buffers.texts);
    if (row) {
      ++rows_made;
      if (!fold_repeat(state.rows, *row, replaced_from)) state.rows.push_back(std::move(*row));
    }
  };

  // Parses the lines of [p, end), which starts at a line start and ends
  // just after a line feed, then moves the offset and tail past them.
  auto consume_lines = [&](const char* p, const char* end) {
    const char* q = p;
    while (q < end) {
      const std::size_t at =
          parser::find_needle(std::string_view(q, static_cast<std::size_t>(end - q)), source);
      if (at == std::string_view::npos) break;
      // A needle holds no line feed, so it lies inside one line.
      const char* hit = q + at;
      const char* before = last_line_feed(q, hit);
      const char* start = before != nullptr ? before + 1 : q;
      const char* stop =
          static_cast<const char*>(std::memchr(hit, '\n', static_cast<std::size_t>(end - hit))) + 1;
      parse_line(std::string_view(start, static_cast<std::size_t>(stop - start)), true);
      q = stop;
    }
    state.offset += static_cast<std::uint64_t>(end - p);
    // The tail is the end of the last line, never reaching before `p`.
    const char* window =
        end - p > static_cast<std::ptrdiff_t>(Tail::kCapacity) ? end - Tail::kCapacity : p;
    const char* before = last_line_feed(window, end - 1);
    const char* start = before != nullptr ? before + 1 : window;
    state.tail.assign_end_of(std::string_view(start, static_cast<std::size_t>(end - start)));
  };

  while (left > 0) {
    std::size_t want = left < kReadSize ? static_cast<std::size_t>(left) : kReadSize;
    std::size_t n = 0;
    if (const int err = file.read(buf, want, n); err != 0) return err;
    if (n == 0) break;  // the file is shorter than the manifest says
    left -= n;
    bytes_read += n;

    const char* p = buf;
    const char* const end = buf + n;
    if (!pending.empty()) {
      // The line begun in an earlier read is parsed whole, so a needle that
      // straddles the read boundary is seen.
      const void* lf = std::memchr(p, '\n', n);
      if (lf == nullptr) {
        pending.append(p, n);
        continue;
      }
      const char* line_end = static_cast<const char*>(lf) + 1;
      pending.append(p, static_cast<std::size_t>(line_end - p));
      parse_line(pending, false);
      state.offset += pending.size();
      state.tail.assign_end_of(pending);
      pending.clear();
      p = line_end;
    }
    const char* last = last_line_feed(p, end);
    const char* lines_end = last != nullptr ? last + 1 : p;
    if (lines_end != p) consume_lines(p, lines_end);
    pending.append(lines_end, static_cast<std::size_t>(end - lines_end));
  }
  // Whatever is left in `pending` is an incomplete last line: counted as
  // read, not parsed, and read again from its start next time.
  pending.clear();
  return 0;
}

WorkerResult process(Job job, Buffers& buffers) {
  WorkerResult result;
  result.path = job.input.path;

  auto fail = [&result](std::string text) {
    result.failed = true;
    result.error = std::move(text);
  };

  if (job.input.path.find('\0') != std::string::npos) {
    result.state = std::move(job.previous);
    fail("file name contained an unexpected NUL byte");
    return result;
  }
  std::string open_error;
  File file = open_regular(job.input.path, open_error);
  if (!file.is_open()) {
    result.state = std::move(job.previous);
    fail(std::move(open_error));
    return result;
  }

  std::unique_ptr<FileState> previous = std::move(job.previous);
  bool rebuild = true;
  if (previous != nullptr) {
    const FileState& old = *previous;
    const Input& now = job.input;
    rebuild = now.identity != old.identity() || now.size < old.size ||
              (now.size == old.size && now.mtime_ns != old.mtime_ns);
    if (!rebuild && !previous->tail.empty()) {
      rebuild = !tail_matches(file, previous->tail, previous->offset);
    }
  }

  std::unique_ptr<FileState> state;
  bool had_rows = false;
  if (rebuild) {
    had_rows = previous != nullptr && !previous->rows.empty();
    if (job.keep_previous) {
      result.retired = std::move(previous);
    } else {
      previous.reset();
    }
    state = FileState::fresh(job.input, job.project_text());
  } else {
    // Same path and identity: the rest of the entry is taken over.
    state = std::move(previous);
    state->size = job.input.size;
    state->mtime_ns = job.input.mtime_ns;
    state->source = job.input.source;
  }
  std::uint64_t bytes_read = 0;
  std::uint64_t rows_made = 0;
  int err = read_new_lines(file, *state, buffers, bytes_read, rows_made, result.replaced_from);
  // A state read from its start holds only rows that were just made: trim
  // the array's growth slack now, while the rows are hot in cache.  A
  // continued state keeps its capacity (trimming it would move old rows
  // on every append).
  if (rebuild) state->rows.shrink_to_fit();
  if (err != 0) {
    state->mtime_ns = 0;
    state->retry = true;
    result.state = std::move(state);
    fail(os_error_text(err));
    return result;
  }
  state->retry = false;
  result.summary.bytes_read = bytes_read;
  result.summary.rebuilt = rebuild;
  result.summary.rows_changed = rows_made > 0 || (rebuild && had_rows);
  result.state = std::move(state);
  return result;
}

// Unlocks the job list on scope exit; marks it poisoned when the scope is
// left by an exception, so that other workers stop instead of carrying on
// with a list in an unknown state.
class JobLockGuard {
 public:
  explicit JobLockGuard(JobList& list) : list_(list), exceptions_(std::uncaught_exceptions()) {
    list_.lock.lock();
  }
  JobLockGuard(const JobLockGuard&) = delete;
  JobLockGuard& operator=(const JobLockGuard&) = delete;
  ~JobLockGuard() {
    if (std::uncaught_exceptions() > exceptions_) list_.poisoned = true;
    list_.lock.unlock();
  }

 private:
  JobList& list_;
  int exceptions_;
};

}  // namespace

WorkerResult process_job(Job job) {
  Buffers buffers;
  return process(std::move(job), buffers);
}

std::vector<WorkerResult> run_worker(JobList& list) {
  std::vector<WorkerResult> results;
  Buffers buffers;
  for (;;) {
    Job job;
    {
      JobLockGuard guard(list);
      if (list.poisoned) throw FatalError("job lock poisoned");
      if (list.jobs.empty()) break;
      job = std::move(list.jobs.back());
      list.jobs.pop_back();
#ifdef LEDGERLY_TESTING_HOOKS
      if (testing_hooks::throw_under_job_lock.exchange(false)) {
        throw std::runtime_error("injected fault under the job lock");
      }
#endif
    }
#ifdef LEDGERLY_TESTING_HOOKS
    if (testing_hooks::throw_outside_job_lock.exchange(false)) {
      throw std::runtime_error("injected fault in a worker");
    }
#endif
    results.push_back(process(std::move(job), buffers));
  }
  return results;
}

}  // namespace ledgerly::engine
