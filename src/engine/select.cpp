// Row selection across the stored files: fork inheritance for event rows
// and message-key deduplication.
//
// Every structure here borrows from the state: text keys are string_views
// into the shared texts of contexts and rows, and fingerprints are read
// through pointers to the rows themselves.  The basis (file order and fork
// fingerprints) is kept with the engine until the file table changes; the
// rest lives for one call.  The result depends only on file order, row
// order and first-occurrence positions, never on the iteration order of a
// hash table or on hash values: tables are only probed, the one loop that
// builds fingerprint runs walks the files in order (each run is sorted by
// hash, then by fingerprint bytes, and equal fingerprints merge into their
// earliest timestamp whatever order they meet in), and repeated keys are
// settled per key in row order whatever part of the key table they land in.
// An attributed selection carries each row's file position alongside it and
// moves it with the row wherever a repeat replaces an earlier occurrence.
#include "engine/select.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/attribution.h"
#include "engine/fork_prints.h"
#include "engine/seeded_hash.h"
#include "engine/state.h"
#include "parser/dialect.h"
#include "parser/row.h"
#include "parser/shared_text.h"
#include "platform/memory.h"

namespace ledgerly::engine {
namespace {

using parser::Row;
using parser::SharedText;

// The bytes of a shared text; never a null data pointer, even when empty.
std::string_view text_of(const SharedText& t) noexcept { return {t.data(), t.size()}; }

}  // namespace

// The fork side of selection: which session id resolves to which owner's
// fingerprints.  Made only when some stored file names a parent, and kept
// with the basis, so an export of unchanged states does not make it again.
// Each owner's fingerprints are one sorted run of a flat array, found by
// binary search on the hash.
class Forks {
 public:
  // `children`: the positions in `order` of the files that name other
  // sessions, in order.
  Forks(const FileOrder& order, const std::vector<std::size_t>& children) : index_(0, hash_) {
    std::unordered_set<std::string_view, SeededHash, TextEqual> referenced(0, hash_);
    for (const std::size_t f : children) {
      for (const SharedText& parent : order[f].second->context.parents()) {
        referenced.insert(text_of(parent));
      }
    }
    if (referenced.empty()) return;
    // Owner of each referenced session id: the file whose path sorts last.
    // Only ids some file names are kept, so most files cost a probe of a
    // small set, not an insertion into a table of every file; the files
    // that held a referenced id are noted, so that only they are visited
    // again.
    std::unordered_map<std::string_view, const FileState*, SeededHash, TextEqual> owners(
        referenced.size(), hash_);
    std::vector<const FileState*> candidates;
    for (const auto& [path, file] : order) {
      const std::string_view id = text_of(file->context.session_id);
      if (!id.empty() && referenced.contains(id)) {
        owners[id] = file;
        candidates.push_back(file);
      }
    }
    // Walk the files in order (not the owners table) so the build order is fixed.
    std::vector<std::size_t> ends;
    for (const FileState* file : candidates) {
      const std::string_view id = text_of(file->context.session_id);
      const auto owner = owners.find(id);
      if (owner == owners.end() || owner->second != file) continue;
      append_prints(hash_, file->rows, prints_);
      owners_.push_back(file);
      ends.push_back(prints_.size());
      index_.emplace(id, owners_.size() - 1);
    }
    prints_.shrink_to_fit();
    // Ranges only once the array has stopped moving.
    ranges_.reserve(ends.size());
    for (std::size_t s = 0, begin = 0; s < ends.size(); begin = ends[s++]) {
      ranges_.push_back(PrintRange{prints_.data() + begin, prints_.data() + ends[s]});
    }
  }

  // Collects, in `parents` order, the prints of `file`'s resolved parents
  // that can make a row inherited (non-empty, and not the file's own: a
  // session cannot inherit from itself).  Returns whether any parent id
  // resolved at all, sessions without prints included.
  bool resolve(const FileState& file, std::vector<PrintRange>& usable) const {
    usable.clear();
    bool any = false;
    for (const SharedText& parent : file.context.parents()) {
      auto it = index_.find(text_of(parent));
      if (it == index_.end()) continue;
      any = true;
      const PrintRange& prints = ranges_[it->second];
      if (owners_[it->second] != &file && prints.begin != prints.end) usable.push_back(prints);
    }
    return any;
  }

  const SeededHash& hash() const noexcept { return hash_; }

 private:
  SeededHash hash_;
  std::vector<Print> prints_;
  std::vector<const FileState*> owners_;  // one per resolved session id
  std::vector<PrintRange> ranges_;        // of prints_, one per owner
  std::unordered_map<std::string_view, std::size_t, SeededHash, TextEqual> index_;
};

namespace {

// Memory for selection's large temporaries (the key arrays), mapped apart
// from the heap and unmapped when freed.  They are freed just before the
// export makes its row buffer; from the heap, a block below its mapping
// threshold would stay resident through that peak.
template <typename T>
struct Mapped {
  using value_type = T;
  static constexpr std::size_t kMapFrom = std::size_t{1} << 20;  // bytes

  Mapped() = default;
  template <typename U>
  Mapped(const Mapped<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) < kMapFrom) return std::allocator<T>().allocate(n);
    void* p = platform::map_memory(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= kMapFrom) {
      platform::unmap_memory(p, n * sizeof(T));
      return;
    }
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const Mapped<U>&) const noexcept {
    return true;
  }
};

// A message row with a non-empty key among the collected rows: its key's
// hash and its index in the collected list (8 bytes an entry, so the key
// arrays of a million rows stay small; select_rows refuses more rows than
// these indexes hold).
struct Keyed {
  std::uint32_t hash;  // the row's key_hash()
  std::uint32_t index;
};
constexpr std::uint32_t kNoIndex = UINT32_MAX;

// Settles repeated message keys in `rows` (every candidate row, in output
// order).  The first occurrence of a key keeps its place and ends up holding
// the best occurrence; the others are removed.  This is the same as checking
// each row against a key table while collecting, because occurrences of one
// key are settled in index order and keys do not affect each other.
//
// Done afterwards, in cache-sized pieces: the keyed entries are split by the
// top bits of their hash with a stable counting sort (so each part stays in
// index order), and each part is settled with a small open-addressing table
// that stays in cache.  One table over all keys would be probed at random
// across megabytes, waiting on memory for nearly every row.
template <Attribution A>
void settle_keys(SelectionOf<A>& out, const std::vector<Keyed, Mapped<Keyed>>& keyed) {
  if (keyed.size() < 2) return;
  std::vector<const Row*>& rows = out.rows;
  constexpr std::size_t kPartTarget = 1024;  // entries per part, on average
  int bits = 0;
  while (bits < 12 && (keyed.size() >> bits) > kPartTarget) ++bits;
  const int shift = 32 - bits;
  const auto part_of = [bits, shift](std::uint32_t h) -> std::size_t {
    return bits == 0 ? 0 : static_cast<std::size_t>(h >> shift);
  };

  std::vector<std::size_t> starts((std::size_t{1} << bits) + 1, 0);
  for (const Keyed& k : keyed) ++starts[part_of(k.hash) + 1];
  std::size_t largest = 0;
  for (std::size_t p = 1; p < starts.size(); ++p) {
    largest = std::max(largest, starts[p]);
    starts[p] += starts[p - 1];
  }
  std::vector<Keyed, Mapped<Keyed>> parts(keyed.size());
  {
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (const Keyed& k : keyed) parts[next[part_of(k.hash)]++] = k;
  }

  // A slot holds the entry of a key's first occurrence in this part; rows
  // are read only when full hashes agree, so unique keys cost no row access.
  std::size_t capacity = 16;
  while (capacity < largest * 2) capacity *= 2;
  std::vector<Keyed> slots(capacity);
  bool dropped = false;
  for (std::size_t p = 0; p + 1 < starts.size(); ++p) {
    const std::size_t begin = starts[p];
    const std::size_t end = starts[p + 1];
    if (end - begin < 2) continue;
    std::size_t size = 16;
    while (size < (end - begin) * 2) size *= 2;
    const std::size_t mask = size - 1;
    std::fill_n(slots.begin(), size, Keyed{0, kNoIndex});
    for (std::size_t e = begin; e < end; ++e) {
      const Keyed& k = parts[e];
      for (std::size_t i = k.hash & mask;; i = (i + 1) & mask) {
        Keyed& slot = slots[i];
        if (slot.index == kNoIndex) {
          slot = k;
          break;
        }
        if (slot.hash != k.hash) continue;
        const Row* row = rows[k.index];
        const Row*& first = rows[slot.index];
        if (first->key() != row->key()) continue;
        if (outranks(*row, *first)) {
          first = row;
          // The place stays: the winner stands where the key first occurred.
          if constexpr (names_files(A)) out.files[slot.index] = out.files[k.index];
        }
        rows[k.index] = nullptr;
        dropped = true;
        break;
      }
    }
  }
  if (!dropped) return;
  if constexpr (names_files(A)) {
    // Close the gaps of the arrays in step.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i] == nullptr) continue;
      rows[kept] = rows[i];
      out.files[kept] = out.files[i];
      if constexpr (A == Attribution::kPlaces) out.places[kept] = out.places[i];
      ++kept;
    }
    rows.resize(kept);
    out.files.resize(kept);
    if constexpr (A == Attribution::kPlaces) out.places.resize(kept);
  } else {
    std::erase(rows, nullptr);
  }
}

bool keyed(const Row& row) noexcept { return row.is_message() && !row.key().empty(); }

// Collects candidate rows in output order, noting the keyed ones (and,
// with attribution, the file each row belongs to).
template <Attribution A>
class Collector {
 public:
  Collector(std::size_t total_rows, std::size_t message_rows) {
    out_.rows.reserve(total_rows);
    if constexpr (names_files(A)) out_.files.reserve(total_rows);
    if constexpr (A == Attribution::kPlaces) out_.places.reserve(total_rows);
    keyed_.reserve(message_rows);
  }

  // `row` is row `index` of the file at position `file` of the file order.
  void add(const Row& row, [[maybe_unused]] FileIndex file, [[maybe_unused]] std::size_t index) {
    if (keyed(row)) {
      keyed_.push_back(Keyed{row.key_hash(), static_cast<std::uint32_t>(out_.rows.size())});
    }
    out_.rows.push_back(&row);
    if constexpr (names_files(A)) out_.files.push_back(file);
    if constexpr (A == Attribution::kPlaces) {
      out_.places.push_back(Place{file, static_cast<std::uint32_t>(index)});
    }
  }

  SelectionOf<A>& result() { return out_; }

  SelectionOf<A> finish() {
    settle_keys(out_, keyed_);
    return std::move(out_);
  }

 private:
  std::vector<Keyed, Mapped<Keyed>> keyed_;
  SelectionOf<A> out_;
};

}  // namespace

namespace {

// One entry of the path sort: eight bytes of the path from the current
// depth on, read most significant first and padded with zeros, and how
// many bytes the path has from that depth (at most 9: "more than 8").
struct PathKey {
  std::uint64_t chunk;
  std::uint32_t rest;
  std::uint32_t index;  // into the order being sorted
};

PathKey key_at(std::string_view path, std::size_t depth, std::uint32_t index) noexcept {
  const std::size_t left = path.size() - depth;
  const std::size_t n = left < 8 ? left : 8;
  std::uint64_t chunk = 0;
  for (std::size_t b = 0; b < n; ++b) {
    chunk |= std::uint64_t{static_cast<unsigned char>(path[depth + b])} << (56 - 8 * b);
  }
  return PathKey{chunk, static_cast<std::uint32_t>(left < 9 ? left : 9), index};
}

// Sorts `order` by path bytes, a proper prefix first, eight bytes at a time:
// each round reads one chunk of each path of a group into a small array and
// sorts that, so the scattered path bytes are read once per round instead
// of at every comparison.  The padding zeros tie with real zero bytes, and
// the byte count then puts the shorter path first.  Paths are distinct, so
// only paths longer than the chunk can tie, and each such run is a group of
// the next round.  Small groups, and groups still tied past kChunkedBytes
// (so a manifest of long shared prefixes costs a bounded number of rounds),
// are finished by comparing whole paths.
void sort_paths(FileOrder& order) {
  constexpr std::size_t kSmall = 16;
  constexpr std::size_t kChunkedBytes = 512;
  struct Group {
    std::size_t begin, end, depth;  // the paths of [begin, end) agree on `depth` bytes
  };
  const auto by_path = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (order.size() > UINT32_MAX) {  // beyond the keys' indexes: whole paths only
    std::sort(order.begin(), order.end(), by_path);
    return;
  }
  std::vector<Group> todo{{0, order.size(), 0}};
  std::vector<PathKey> keys;
  FileOrder scratch;
  const auto same = [](const PathKey& a, const PathKey& b) {
    return a.chunk == b.chunk && a.rest == b.rest;
  };
  while (!todo.empty()) {
    const Group g = todo.back();
    todo.pop_back();
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(g.begin);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(g.end);
    if (g.end - g.begin < 2) continue;
    if (g.end - g.begin <= kSmall || g.depth >= kChunkedBytes) {
      std::sort(first, last, by_path);
      continue;
    }
    keys.clear();
    for (std::size_t i = g.begin; i < g.end; ++i) {
      keys.push_back(key_at(order[i].first, g.depth, static_cast<std::uint32_t>(i)));
    }
    if (std::all_of(keys.begin(), keys.end(), [&](const PathKey& k) { return same(k, keys[0]); })) {
      // A stretch every path shares (paths are distinct, so they go on).
      if (keys[0].rest > 8) todo.push_back({g.begin, g.end, g.depth + 8});
      continue;
    }
    std::sort(keys.begin(), keys.end(), [](const PathKey& a, const PathKey& b) {
      return a.chunk != b.chunk ? a.chunk < b.chunk : a.rest < b.rest;
    });
    scratch.clear();
    for (const PathKey& k : keys) scratch.push_back(order[k.index]);
    std::copy(scratch.begin(), scratch.end(), first);
    for (std::size_t i = 0; i < keys.size();) {
      std::size_t j = i + 1;
      while (j < keys.size() && same(keys[j], keys[i])) ++j;
      // (A run of paths that end within the chunk would be of equal paths.)
      if (j - i > 1 && keys[i].rest > 8) todo.push_back({g.begin + i, g.begin + j, g.depth + 8});
      i = j;
    }
  }
}

}  // namespace

FileOrder file_order(const Engine& engine) {
  FileOrder order;
  order.reserve(engine.files.size());
  engine.files.for_each(
      [&order](const FileState& state) { order.emplace_back(state.path(), &state); });
  // The order of string_view comparison: bytes as unsigned char, a proper
  // prefix first.
  sort_paths(order);
  return order;
}

SelectionBasis::SelectionBasis(FileOrder files) : order(std::move(files)) {
  for (std::size_t f = 0; f < order.size(); ++f) {
    const FileState* file = order[f].second;
    total_rows += file->rows.size();
    if (parser::is_message_dialect(file->source)) message_rows += file->rows.size();
    if (!file->context.parents().empty()) children.push_back(f);
  }
  if (!children.empty()) forks = std::make_unique<const Forks>(order, children);
}

SelectionBasis::~SelectionBasis() = default;

void SelectionBasisDeleter::operator()(SelectionBasis* basis) const noexcept { delete basis; }

const SelectionBasis& basis_of(Engine& engine) {
  const std::uint64_t version = engine.files.version();
  if (engine.basis == nullptr || engine.basis->version != version) {
    engine.basis.reset();  // its pointers may already dangle
    engine.basis.reset(new SelectionBasis(file_order(engine)));
    engine.basis->version = version;
  }
  return *engine.basis;
}

template <Attribution A>
SelectionOf<A> select_rows(const SelectionBasis& basis) {
  const FileOrder& order = basis.order;
  if constexpr (names_files(A)) {
    if (order.size() > kMaxAttributedFiles) throw std::bad_array_new_length();
  }
  if (basis.total_rows >= kNoIndex) throw std::bad_array_new_length();
  Collector<A> collector(basis.total_rows, basis.message_rows);
  SelectionOf<A>& out = collector.result();
  std::vector<PrintRange> usable;

  for (std::size_t f = 0; f < order.size(); ++f) {
    const FileState* file = order[f].second;
    const auto index = static_cast<FileIndex>(f);
    const std::vector<Row>& rows = file->rows;
    std::size_t i = 0;
    if (!file->context.parents().empty()) {
      // A file names parents only if the basis has made its forks.
      if (!basis.forks->resolve(*file, usable)) ++out.unresolved_forks;
      // The opening run: only rows that take part in forks can end it or
      // be inherited; the others are collected wherever they stand.
      for (; i < rows.size(); ++i) {
        const Row& row = rows[i];
        if (!parser::takes_part_in_forks(row.kind())) {
          collector.add(row, index, i);
          continue;
        }
        if (row.totals() == nullptr ||
            !inherited(basis.forks->hash(), row, usable, file->context.started)) {
          break;
        }
        ++out.inherited_events;
      }
    }
    for (; i < rows.size(); ++i) {
      if (i + parser::kPrefetchRowsAhead < rows.size()) {
        parser::prefetch(&rows[i + parser::kPrefetchRowsAhead]);
      }
      collector.add(rows[i], index, i);
    }
  }
  return collector.finish();
}

template <Attribution A>
SelectionOf<A> select_rows(const FileOrder& order) {
  if constexpr (names_files(A)) {
    if (order.size() > kMaxAttributedFiles) throw std::bad_array_new_length();
  }
  return select_rows<A>(SelectionBasis(order));
}

template Selection select_rows<Attribution::kNone>(const SelectionBasis& basis);
template AttributedSelection select_rows<Attribution::kFiles>(const SelectionBasis& basis);
template PlacedSelection select_rows<Attribution::kPlaces>(const SelectionBasis& basis);
template Selection select_rows<Attribution::kNone>(const FileOrder& order);
template AttributedSelection select_rows<Attribution::kFiles>(const FileOrder& order);
template PlacedSelection select_rows<Attribution::kPlaces>(const FileOrder& order);

}  // namespace ledgerly::engine
