// FileTable: open addressing with linear probing over (hash, state) slots.
// The table doubles when it would pass three quarters full, and a purge
// rebuilds it from the stored hashes, so no path is hashed twice.
#include "engine/file_table.h"

#include <atomic>
#include <bit>
#include <new>
#include <stdexcept>
#include <utility>

#include "engine/state.h"

namespace ledgerly::engine {

std::uint64_t FileTable::next_version() noexcept {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

FileTable::FileTable(FileTable&& other) noexcept
    : hash_(other.hash_),
      slots_(std::move(other.slots_)),
      live_(std::exchange(other.live_, 0)),
      released_(std::exchange(other.released_, 0)) {
  other.slots_.clear();
  other.version_ = next_version();
}

FileTable& FileTable::operator=(FileTable&& other) noexcept {
  if (this != &other) {
    clear();
    hash_ = other.hash_;
    slots_ = std::move(other.slots_);
    other.slots_.clear();
    live_ = std::exchange(other.live_, 0);
    released_ = std::exchange(other.released_, 0);
    version_ = next_version();
    other.version_ = next_version();
  }
  return *this;
}

FileTable::~FileTable() { clear(); }

void FileTable::clear() noexcept {
  for (Slot& slot : slots_) delete slot.state;
  slots_.clear();
  slots_.shrink_to_fit();
  live_ = 0;
  released_ = 0;
  version_ = next_version();
}

std::size_t FileTable::probe(std::string_view path, std::uint64_t hash) const noexcept {
  if (slots_.empty()) return kNone;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.hash == 0) return kNone;
    if (slot.hash == hash && slot.state != nullptr && slot.state->path() == path) return i;
  }
}

std::size_t FileTable::index_of(std::string_view path) const noexcept {
  return probe(path, hash_of(path));
}

void FileTable::index_all(const std::vector<ManifestEntry>& manifest, std::vector<std::size_t>& out,
                          Visit visit, void* context) const {
  const std::size_t n = manifest.size();
  out.assign(n, kNone);
  if (slots_.empty() || live_ == 0) return;
  const std::size_t mask = slots_.size() - 1;
  // Blocks small enough that what one stage prefetches is still in cache
  // when the next stage reads it, large enough to keep many misses in flight.
  constexpr std::size_t kBlock = 64;
  std::uint64_t hashes[kBlock];
  for (std::size_t base = 0; base < n; base += kBlock) {
    const std::size_t count = n - base < kBlock ? n - base : kBlock;
    for (std::size_t k = 0; k < count; ++k) {
      hashes[k] = hash_of(manifest[base + k].path);
      __builtin_prefetch(&slots_[static_cast<std::size_t>(hashes[k]) & mask]);
    }
    // The first slot of the probe sequence whose hash agrees: almost always
    // the entry's own.
    for (std::size_t k = 0; k < count; ++k) {
      for (std::size_t i = static_cast<std::size_t>(hashes[k]) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.hash == 0) break;
        if (slot.hash == hashes[k] && slot.state != nullptr) {
          out[base + k] = i;
          prefetch_hot(*slot.state);
          break;
        }
      }
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::string_view path = manifest[base + k].path;
      std::size_t i = out[base + k];
      if (i == kNone) continue;
      if (slots_[i].state->path() != path) {
        // Equal hashes, different paths: go on along the probe sequence.
        out[base + k] = kNone;
        for (i = (i + 1) & mask; slots_[i].hash != 0; i = (i + 1) & mask) {
          const Slot& slot = slots_[i];
          if (slot.hash == hashes[k] && slot.state != nullptr && slot.state->path() == path) {
            out[base + k] = i;
            break;
          }
        }
        if (out[base + k] == kNone) continue;
      }
      if (visit != nullptr) visit(context, base + k, *slots_[out[base + k]].state);
    }
  }
}

FileState* FileTable::find(std::string_view path) const noexcept {
  const std::size_t i = index_of(path);
  return i == kNone ? nullptr : slots_[i].state;
}

FileState* FileTable::at(std::string_view path) const {
  FileState* state = find(path);
  if (state == nullptr) throw std::out_of_range("FileTable::at: path not stored");
  return state;
}

void FileTable::place(std::uint64_t hash, FileState* state) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (slots_[i].hash != 0) i = (i + 1) & mask;
  slots_[i] = Slot{hash, state};
}

void FileTable::rebuild(std::size_t capacity) {
  std::vector<Slot> old(capacity);
  old.swap(slots_);
  for (const Slot& slot : old) {
    if (slot.state != nullptr) place(slot.hash, slot.state);
  }
  released_ = 0;
}

void FileTable::reserve(std::size_t count) {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (count * 4 > capacity * 3) capacity *= 2;
  if (capacity != slots_.size()) rebuild(capacity);
}

bool FileTable::insert_or_assign(std::unique_ptr<FileState> state) {
  version_ = next_version();
  const std::uint64_t hash = hash_of(state->path());
  const std::size_t found = probe(state->path(), hash);
  if (found != kNone) {
    delete std::exchange(slots_[found].state, state.release());
    return false;
  }
  // Released slots still take up room in the probe sequences.
  const std::size_t taken = live_ + released_ + 1;
  if (taken * 4 > slots_.size() * 3) {
    std::size_t capacity = slots_.empty() ? 16 : slots_.size();
    while ((live_ + 1) * 2 > capacity) capacity *= 2;
    rebuild(capacity);
  }
  place(hash, state.release());
  ++live_;
  return true;
}

std::unique_ptr<FileState> FileTable::release(std::size_t index) noexcept {
  Slot& slot = slots_[index];
  if (slot.state == nullptr) return nullptr;
  version_ = next_version();
  --live_;
  ++released_;
  return std::unique_ptr<FileState>(std::exchange(slot.state, nullptr));
}

void FileTable::purge() noexcept {
  if (released_ == 0) return;
  // Keep the size unless the table has become sparse.
  std::size_t capacity = slots_.size();
  while (capacity > 16 && live_ * 8 < capacity) capacity /= 2;
  try {
    rebuild(capacity);
  } catch (const std::bad_alloc&) {
    // rebuild() changes nothing until it has its memory.
  }
}

std::unique_ptr<FileState> FileTable::take(std::string_view path) {
  const std::size_t i = index_of(path);
  if (i == kNone) return nullptr;
  std::unique_ptr<FileState> state = release(i);
  purge();
  return state;
}

}  // namespace ledgerly::engine
