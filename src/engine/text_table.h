// TextTable: distinct texts in order of first use, compared by content, as
// the string tables of an export list them.
#ifndef LEDGERLY_ENGINE_TEXT_TABLE_H_
#define LEDGERLY_ENGINE_TEXT_TABLE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/seeded_hash.h"
#include "parser/shared_text.h"

namespace ledgerly::engine {

// Rows share text objects: a file's rows share its context's project (and
// model) object, and a file's message rows share one object per model.  So
// a small cache keyed by object identity answers almost every lookup; only
// the first sight of each object compares or hashes its bytes.  Identity
// implies equal content: texts are immutable, and every text looked up must
// outlive the table (its entries view the texts' bytes).
class TextTable {
 public:
  TextTable(const SeededHash& hash, std::vector<std::string_view>& entries)
      : index_(16, hash), entries_(entries) {}

  // The position of `text` in the entries, appended on first use.
  std::uint64_t index_of(const parser::SharedText& text) {
    const void* identity = text.identity();
    Slot& slot = cache_[(reinterpret_cast<std::uintptr_t>(identity) >> 4) % kSlots];
    if (slot.used && slot.identity == identity) return slot.index;
    const std::string_view bytes(text.data(), text.size());
    auto [it, inserted] = index_.try_emplace(bytes, entries_.size());
    if (inserted) entries_.push_back(bytes);
    slot = Slot{identity, it->second, true};
    return it->second;
  }

 private:
  struct Slot {
    const void* identity = nullptr;
    std::uint64_t index = 0;
    bool used = false;
  };
  static constexpr std::size_t kSlots = 64;

  std::unordered_map<std::string_view, std::uint64_t, SeededHash, TextEqual> index_;
  std::vector<std::string_view>& entries_;
  std::array<Slot, kSlots> cache_{};
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_TEXT_TABLE_H_
