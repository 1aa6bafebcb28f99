// KeyIndex: the stored message rows with a non-empty key, found by key.
//
// An entry names a row by two numbers, its file's tracking number (never 0)
// and its index in that file; `RowAt` (a callable: row_at(file, index) ->
// const parser::Row&) turns them back into the row.  The row's key_hash()
// places the entry, so an entry costs 8 bytes and nothing of the key is
// copied.  Several rows may share a key (a response logged in several
// files): each is an entry of its own.
//
// Open addressing with linear probing; a removal shifts the entries after it
// back (no tombstones), so probe sequences stay as short as the load allows.
// The table doubles when it would pass seven eighths full: it is looked up
// for the few keys a delta touches, so memory (8 bytes a slot, about 10 a
// key) counts for more than the length of a miss's probe.  Every entry's
// row must stay readable, with the same key, for as long as the entry is
// stored.
#ifndef LEDGERLY_ENGINE_KEY_INDEX_H_
#define LEDGERLY_ENGINE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/row.h"

namespace ledgerly::engine {

template <typename RowAt>
class KeyIndex {
 public:
  explicit KeyIndex(RowAt row_at) : row_at_(std::move(row_at)) {}

  std::size_t size() const noexcept { return size_; }

  // Makes room for `count` entries in all.
  void reserve(std::size_t count) {
    std::size_t capacity = slots_.empty() ? 16 : slots_.size();
    while (count * 8 > capacity * 7) capacity *= 2;
    if (capacity != slots_.size()) rehash(capacity);
  }

  // Adds row `index` of `file`, whose key_hash() is `hash`.
  void insert(std::uint32_t file, std::uint32_t index, std::uint32_t hash) {
    if ((size_ + 1) * 8 > slots_.size() * 7) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    place(Slot{file, index}, hash);
    ++size_;
  }

  // Removes the entry of row `index` of `file` (key hash `hash`), if stored.
  void erase(std::uint32_t file, std::uint32_t index, std::uint32_t hash) noexcept {
    if (slots_.empty()) return;
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    for (;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.file == 0) return;
      if (slot.file == file && slot.index == index) break;
    }
    // Shift back every entry of the cluster that may move into the gap:
    // one whose home lies cyclically outside (gap, j].
    for (std::size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
      const Slot& next = slots_[j];
      if (next.file == 0) break;
      const std::size_t home = row_at_(next.file, next.index).key_hash() & mask;
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      slots_[i] = next;
      i = j;
    }
    slots_[i] = Slot{};
    --size_;
  }

  // Calls visit(file, index) for every stored row whose key is `key`
  // (`hash` its key hash), in probe order.
  template <typename Visit>
  void for_each(std::string_view key, std::uint32_t hash, Visit&& visit) const {
    if (slots_.empty()) return;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.file == 0) return;
      const parser::Row& row = row_at_(slot.file, slot.index);
      if (row.key_hash() == hash && row.key() == key) visit(slot.file, slot.index);
    }
  }

 private:
  struct Slot {
    std::uint32_t file = 0;  // 0: empty
    std::uint32_t index = 0;
  };

  void place(Slot entry, std::uint32_t hash) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].file != 0) i = (i + 1) & mask;
    slots_[i] = entry;
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.file != 0) place(slot, row_at_(slot.file, slot.index).key_hash());
    }
  }

  RowAt row_at_;
  std::vector<Slot> slots_;  // empty, or a power of two in size
  std::size_t size_ = 0;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_KEY_INDEX_H_
