// FileTable: the stored file states of one Engine, keyed by their path.
//
// The table owns the FileState objects it holds (state.h); a state handed
// out by take() or release() is the caller's from then on.
#ifndef LEDGERLY_ENGINE_FILE_TABLE_H_
#define LEDGERLY_ENGINE_FILE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/input.h"
#include "engine/seeded_hash.h"

namespace ledgerly::engine {

class FileState;

// The stored file states, keyed by their path (the key is not kept a
// second time).  An open-addressing table of 16-byte slots, each holding
// a path's 64-bit hash and its state, probed linearly: a lookup compares
// stored hashes and reads a state's path only when the hashes agree, so an
// absent path costs no state access at all and a present one one path
// comparison.  No order: iteration follows the slots.
//
// A slot can be "released": its state is handed out but the slot keeps its
// place in the probe sequence (lookups pass over it) until purge() packs the
// table again.  That lets a caller hold slot indexes across a batch of
// releases, which the refresh driver's planning relies on.
class FileTable {
 public:
  static constexpr std::size_t kNone = SIZE_MAX;

  FileTable() = default;
  FileTable(FileTable&& other) noexcept;
  FileTable& operator=(FileTable&& other) noexcept;
  FileTable(const FileTable&) = delete;
  FileTable& operator=(const FileTable&) = delete;
  ~FileTable();

  std::size_t size() const noexcept { return live_; }
  bool empty() const noexcept { return live_ == 0; }
  // Makes room for `count` states in all, so that storing that many grows
  // the table at most once.
  void reserve(std::size_t count);

  // The state stored under `path`, or null.
  FileState* find(std::string_view path) const noexcept;
  bool contains(std::string_view path) const noexcept { return find(path) != nullptr; }
  // The state stored under `path`; throws std::out_of_range when there is none.
  FileState* at(std::string_view path) const;

  // Stores `state` under its path, destroying any state stored under that
  // path before.  Returns true when the path was not stored.
  bool insert_or_assign(std::unique_ptr<FileState> state);
  // Removes and returns the state stored under `path` (null when none).
  std::unique_ptr<FileState> take(std::string_view path);
  void clear() noexcept;

  // Slot access for batch work.  Indexes stay valid until the next insert,
  // take, clear or purge.
  std::size_t slot_count() const noexcept { return slots_.size(); }
  std::size_t index_of(std::string_view path) const noexcept;  // kNone when absent
  // index_of() for every entry of `manifest`, into `out`.  The same result,
  // but in stages over the whole batch (hash every path, then find its
  // slot, then reach its state, then compare paths), each stage asking for
  // the memory the next one reads, so that the cache misses of many entries
  // overlap instead of following one another.  For each entry found,
  // `visit` (when given) is called with `context`, the entry's index and
  // its state while the state's hot fields are in cache.
  using Visit = void (*)(void* context, std::size_t index, const FileState& state);
  void index_all(const std::vector<ManifestEntry>& manifest, std::vector<std::size_t>& out,
                 Visit visit = nullptr, void* context = nullptr) const;
  FileState* state_at(std::size_t index) const noexcept { return slots_[index].state; }
  // Hands out the state of a slot and leaves the slot released.
  std::unique_ptr<FileState> release(std::size_t index) noexcept;
  // Packs the table after releases (a no-op when there were none).  Never
  // throws: without memory for the packed table the released slots stay,
  // which costs probe length, not correctness, and the next purge retries.
  // So a caller may release states into its own hands and purge without
  // any risk of losing them.
  void purge() noexcept;

  // Changes whenever states are stored, released or dropped (or the table
  // is moved), and is never the same for two different contents of any
  // table in the process: what was derived from the stored states under
  // one version holds as long as the version stays.  Changing a stored
  // state in place through the pointer find() gives does not change it.
  std::uint64_t version() const noexcept { return version_; }

  template <typename F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.state != nullptr) f(*slot.state);
    }
  }

 private:
  static constexpr std::uint64_t kUsed = std::uint64_t{1} << 63;  // set in every stored hash
  struct Slot {
    std::uint64_t hash = 0;      // 0: empty; otherwise the path's hash with kUsed set
    FileState* state = nullptr;  // owned; null in an empty or released slot
  };

  std::uint64_t hash_of(std::string_view path) const noexcept { return hash_(path) | kUsed; }
  std::size_t probe(std::string_view path, std::uint64_t hash) const noexcept;
  void rebuild(std::size_t capacity);
  void place(std::uint64_t hash, FileState* state) noexcept;

  SeededHash hash_;
  std::vector<Slot> slots_;   // empty, or a power of two in size
  std::size_t live_ = 0;      // slots holding a state
  std::size_t released_ = 0;  // released slots not yet purged
  std::uint64_t version_ = next_version();

  static std::uint64_t next_version() noexcept;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_FILE_TABLE_H_
