// The state one Engine keeps between refreshes: a table of per-file states
// keyed by manifest path, plus the counts the latest export left behind.
//
// Ownership: Engine owns `files`; each FileState owns its Input, parsing
// context and rows.  A FileState is held through a unique_ptr so that it
// moves whole (never copied) between the table, read jobs and results.
#ifndef LEDGERLY_ENGINE_STATE_H_
#define LEDGERLY_ENGINE_STATE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/input.h"
#include "engine/seeded_hash.h"
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

struct FileState {
  Input input;               // the manifest entry this state was last read with
  std::uint64_t offset = 0;  // bytes consumed; always at a line boundary
  Tail tail;
  parser::Context context;
  std::vector<parser::Row> rows;  // every accepted event of the file, in file order
  parser::Counters counters;
  // The latest read of the file failed part-way: it is read again by the
  // next refresh whatever its manifest entry says (a host may send the same
  // entry again, for instance with mtime_ns 0 throughout).
  bool retry = false;

  // A state for a file read from its start.
  static std::unique_ptr<FileState> fresh(Input input) {
    auto state = std::make_unique<FileState>();
    state->context = parser::Context::fresh(input.project, input.sub);
    state->input = std::move(input);
    return state;
  }
};

using FileMap = std::unordered_map<std::string, std::unique_ptr<FileState>, SeededHash, TextEqual>;

struct Engine {
  FileMap files;
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
