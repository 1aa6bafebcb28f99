// Deltas of the selection: which selected rows one refresh withdrew and
// which it added, so that a caller holding the selection of an earlier
// refresh can bring it up to date without a full export.
//
// Every selected row carries an id (32 bits, never 0) for as long as it
// stays selected unchanged.  A row whose content, file or place changes is
// withdrawn under its old id and added under a new one; so is a row that
// selection drops or takes back (a fork resolution or a key contest that
// turned out differently, a file rewritten, truncated or removed).  The
// selection after a delta is the one before it, less the withdrawn ids,
// plus the added rows: the same rows, row for row, as a full export of the
// same state, which lists them in the order of their places (AddedRow).
//
// The DeltaTracker keeps what makes that work proportional to the files a
// refresh changed and the message keys their rows hold: each stored row's
// id, an index of every keyed message row (key_index.h), and for forks the
// sessions that files name as parents, which files carry them and which
// file owns each.  Fingerprints of parent sessions are made again for the
// parents that changed, when a delta needs them.
#ifndef LEDGERLY_ENGINE_DELTA_H_
#define LEDGERLY_ENGINE_DELTA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/state.h"
#include "parser/row.h"

namespace ledgerly::engine {

// A row a delta adds.  `place` and `seq` say where it stands in the export
// order: row `seq` of file `place` (its own file and index, except for a
// message row standing where its key first occurred).  The pointers are
// valid until the engine's state next changes.
struct AddedRow {
  const parser::Row* row;
  const FileState* file;   // the file holding the row
  const FileState* place;  // the file it stands in
  std::uint32_t seq;
  std::uint32_t id;
};

// What changed in the selection since the caller's generation.
struct DeltaRows {
  // `added` is the whole selection: whatever the caller held is gone.
  bool reset = false;
  std::vector<std::uint32_t> withdrawn;  // ascending
  std::vector<AddedRow> added;           // in export order among themselves
  std::uint64_t live = 0;                // rows selected after the change
  std::uint64_t inherited_events = 0;    // of the selection after the change
  std::uint64_t unresolved_forks = 0;
};

// The states a refresh took out of the table (removed, rebuilt, or stored
// twice and replaced) and those a read job returned to it, for the tracker.
// The retired states are kept alive until the tracker has seen them.
struct StateChanges {
  struct Changed {
    FileState* state;
    // The lowest index of a stored row the read replaced in place (a
    // message response logged again, see reader.h); SIZE_MAX for none.
    std::size_t replaced_from;
  };
  std::vector<std::unique_ptr<FileState>> retired;
  std::vector<Changed> changed;
};

class DeltaTracker {
 public:
  // A tracker of `engine`'s stored states, their selected rows numbered in
  // export order from 1.  Numbers the states (FileState::track).
  static std::unique_ptr<DeltaTracker> build(Engine& engine);

  DeltaTracker(const DeltaTracker&) = delete;
  DeltaTracker& operator=(const DeltaTracker&) = delete;
  ~DeltaTracker();

  // Brings the tracker in line with `changes` (every state the refresh
  // touched, the retired ones still alive) and writes what changed into
  // `out`.  Returns false, leaving the tracker unusable, when the ids would
  // run out: the caller then hands over a reset instead.
  bool apply(StateChanges& changes, DeltaRows& out);

  std::uint64_t live() const noexcept;
  std::uint64_t inherited_events() const noexcept;
  std::uint64_t unresolved_forks() const noexcept;

  class Impl;

 private:
  explicit DeltaTracker(std::unique_ptr<Impl> impl) noexcept;
  std::unique_ptr<Impl> impl_;
};

// The whole selection of `engine` as a reset delta, numbered in export
// order from 1 (what a caller without any earlier selection gets).
DeltaRows reset_delta(Engine& engine);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_DELTA_H_
