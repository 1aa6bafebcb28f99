// The state one Engine keeps between refreshes: a table of per-file states
// keyed by manifest path (file_table.h), plus the counts the latest export
// left behind.
//
// Ownership: Engine owns `files`; each FileState owns its entry's texts,
// parsing context and rows.  A FileState is held through a unique_ptr (a plain
// owning pointer inside the table) so that it moves whole, never copied,
// between the table, read jobs and results.
#ifndef LEDGERLY_ENGINE_STATE_H_
#define LEDGERLY_ENGINE_STATE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_table.h"
#include "engine/input.h"
#include "parser/context.h"
#include "parser/counters.h"
#include "parser/row.h"

namespace ledgerly::engine {

// Up to 64 bytes: the end of the last complete line consumed.
class Tail {
 public:
  static constexpr std::size_t kCapacity = 64;
  std::string_view view() const noexcept { return {bytes_, size_}; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Keeps the last (up to) 64 bytes of `line`.
  void assign_end_of(std::string_view line) noexcept {
    std::size_t n = line.size() < kCapacity ? line.size() : kCapacity;
    std::memcpy(bytes_, line.data() + (line.size() - n), n);
    size_ = static_cast<std::uint8_t>(n);
  }

 private:
  char bytes_[kCapacity] = {};
  std::uint8_t size_ = 0;
};

// Of two message rows with the same key, whether `row` takes the place of
// `kept`, the occurrence met first: more output tokens, or as many and a
// later timestamp.  Ties keep the first.
inline bool outranks(const parser::Row& row, const parser::Row& kept) noexcept {
  return row.output_tokens() > kept.output_tokens() ||
         (row.output_tokens() == kept.output_tokens() && row.timestamp() > kept.timestamp());
}

// The stored state of one log file: the manifest entry it was last read
// with, how far it was read, its parse counters and context, and its rows.
//
// The entry's path and identity bytes are stored right after the object,
// in the same allocation, so a lookup that compares a path and then the
// entry's other fields reads one block; the fields a refresh reads for an
// unchanged file come first.  The project and subagent flag of the entry
// are not kept: they only seed the context of a file read from its start.
// Made by fresh() only, and held through unique_ptr.
class FileState {
 public:
  // A state for a file read from its start, with `project` as its
  // context's project text (files of one project may share it).
  static std::unique_ptr<FileState> fresh(const Input& input, parser::SharedText project);
  static std::unique_ptr<FileState> fresh(const Input& input) {
    return fresh(input, parser::SharedText(input.project));
  }
  // A state with the given path and identity and every other field at its
  // default, for a reader of saved states to fill in.
  static std::unique_ptr<FileState> blank(std::string_view path, std::string_view identity);

  std::string_view path() const noexcept { return {bytes(), path_size_}; }
  std::string_view identity() const noexcept { return {bytes() + path_size_, identity_size_}; }

  std::vector<parser::Row> rows;  // every accepted event of the file, in file order
  parser::Context context;
  Tail tail;
  // The latest read of the file failed part-way: it is read again by the
  // next refresh whatever its manifest entry says (a host may send the same
  // entry again, for instance with mtime_ns 0 throughout).
  bool retry = false;
  std::uint8_t source = 0;  // dialect code (parser/dialect.h)
  // The state's number in the engine's delta tracker (delta.h); 0 while
  // it has none.  Not saved: a tracker numbers the states it finds.
  std::uint32_t track = 0;
  // What a refresh reads of an unchanged file sits at the end, next to the
  // path and identity bytes: see hot().
  parser::Counters counters;
  std::uint64_t offset = 0;    // bytes consumed; always at a line boundary
  std::uint64_t size = 0;      // the entry's bytes to read at most
  std::uint64_t mtime_ns = 0;  // the entry's mtime, compared for equality only

  // The first byte of the fields a refresh compares or sums for an
  // unchanged file (`retry` aside, which lies just before); they run on
  // into the path and identity bytes, so a batch of lookups can ask for
  // these few cache lines ahead of reading them.
  const char* hot() const noexcept { return reinterpret_cast<const char*>(&counters); }

  // The deallocation that matches fresh()'s allocation (unique_ptr's
  // default deleter uses it).
  static void operator delete(void* p) noexcept { ::operator delete(p); }

 private:
  struct Trailing {
    std::size_t bytes;
  };
  static void* operator new(std::size_t size, Trailing trailing) {
    return ::operator new(size + trailing.bytes);
  }
  // Frees the block if the constructor throws.
  static void operator delete(void* p, Trailing) noexcept { ::operator delete(p); }

  FileState(std::uint32_t path_size, std::uint32_t identity_size) noexcept
      : path_size_(path_size), identity_size_(identity_size) {}

  const char* bytes() const noexcept { return reinterpret_cast<const char*>(this) + sizeof *this; }
  char* bytes() noexcept { return reinterpret_cast<char*>(this) + sizeof *this; }

  std::uint32_t path_size_;
  std::uint32_t identity_size_;
};

inline std::unique_ptr<FileState> FileState::blank(std::string_view path,
                                                   std::string_view identity) {
  if (path.size() > UINT32_MAX || identity.size() > UINT32_MAX) throw std::bad_alloc();
  const auto path_size = static_cast<std::uint32_t>(path.size());
  const auto identity_size = static_cast<std::uint32_t>(identity.size());
  std::unique_ptr<FileState> state(new (Trailing{path.size() + identity.size()})
                                       FileState(path_size, identity_size));
  if (path_size != 0) std::memcpy(state->bytes(), path.data(), path_size);
  if (identity_size != 0) std::memcpy(state->bytes() + path_size, identity.data(), identity_size);
  return state;
}

inline std::unique_ptr<FileState> FileState::fresh(const Input& input, parser::SharedText project) {
  std::unique_ptr<FileState> state = blank(input.path, input.identity);
  state->size = input.size;
  state->mtime_ns = input.mtime_ns;
  state->source = input.source;
  state->context = parser::Context::fresh(std::move(project), input.sub);
  return state;
}

// Asks for the cache lines of `state`'s hot fields and the start of its
// path and identity (about 200 bytes).  Only a hint: never faults.
inline void prefetch_hot(const FileState& state) noexcept {
  const char* p = state.hot();
  __builtin_prefetch(p);
  __builtin_prefetch(p + 64);
  __builtin_prefetch(p + 128);
  __builtin_prefetch(p + 191);
}

// What a refresh reports of the whole state: the parse counters summed over
// every stored state, and the number of stored states with unread bytes.
struct StateSums {
  parser::Counters counts;
  std::uint64_t pending_files = 0;

  void add(const FileState& state) noexcept {
    counts += state.counters;
    if (state.offset < state.size) ++pending_files;
  }
  // Takes out a state added before, unchanged since.
  void remove(const FileState& state) noexcept {
    counts -= state.counters;
    if (state.offset < state.size) --pending_files;
  }
};

// What an export derives from the stored states alone (select.h), kept for
// the next export as long as the file table's version stays the same.
struct SelectionBasis;
struct SelectionBasisDeleter {
  void operator()(SelectionBasis* basis) const noexcept;
};

// What the engine keeps between refreshes to hand over only what changed in
// the selection (delta.h).
class DeltaTracker;
struct DeltaTrackerDeleter {
  void operator()(DeltaTracker* tracker) const noexcept;
};

// The generation of a state just loaded from a file (a new engine's is 0):
// its rows, numbered in export order, are the saved state's.
inline constexpr std::uint64_t kLoadedGeneration = 1;

struct Engine {
  FileTable files;
  std::unique_ptr<SelectionBasis, SelectionBasisDeleter> basis;  // null until an export
  // Null until a delta keeps one; dropped whenever a refresh changes the
  // state without it.  Without one, the selection at `generation` is
  // numbered in export order (the first row 1).
  std::unique_ptr<DeltaTracker, DeltaTrackerDeleter> tracker;
  // Moves on whenever the selection a delta caller may hold changes.
  std::uint64_t generation = 0;
  // The sums of every stored state, as the latest refresh left them, for
  // a refresh told only what changed; unknown after a load.
  StateSums sums;
  bool sums_known = false;
  std::uint64_t inherited_events = 0;  // of the latest export
  std::uint64_t unresolved_forks = 0;  // of the latest export
  bool refreshed = false;              // a refresh got as far as its merge
  // The latest export was made but never reached the caller (memory ran
  // out while building the result, or the call was interrupted): the next
  // refresh exports whatever changed.
  bool export_pending = false;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_STATE_H_
