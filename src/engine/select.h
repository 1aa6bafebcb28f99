// Row selection across the stored files: fork inheritance for event rows
// and message-key deduplication decide which rows an export writes.
#ifndef LEDGERLY_ENGINE_SELECT_H_
#define LEDGERLY_ENGINE_SELECT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/attribution.h"
#include "engine/state.h"
#include "parser/row.h"

namespace ledgerly::engine {

// (path, state) pairs sorted by path bytes.
using FileOrder = std::vector<std::pair<std::string_view, const FileState*>>;

// The per-row file indexes of an attributed selection; nothing otherwise.
struct NoFiles {};
template <Attribution A>
using FileIndexes = std::conditional_t<names_files(A), std::vector<FileIndex>, NoFiles>;

// Where a selected row stands in the export order: the position of a file
// in the file order and a row index in that file.  A message row that
// replaced an earlier occurrence of its key stands where that occurrence
// stood (see select_rows); every other row stands where it lies.  Sorting
// the selected rows by (file, row) gives the export order.
struct Place {
  FileIndex file;
  std::uint32_t row;
};
struct NoPlaces {};
template <Attribution A>
using Places = std::conditional_t<A == Attribution::kPlaces, std::vector<Place>, NoPlaces>;

template <Attribution A>
struct SelectionOf {
  std::vector<const parser::Row*> rows;  // output order
  // With Attribution::kFiles, files[k] is the position in the file order of
  // the file that rows[k] belongs to: the file of the row actually selected,
  // so a duplicate that replaced an earlier one brings its own file.
  [[no_unique_address]] FileIndexes<A> files;
  // With Attribution::kPlaces, places[k] is where rows[k] stands.
  [[no_unique_address]] Places<A> places;
  std::uint64_t inherited_events = 0;
  std::uint64_t unresolved_forks = 0;
};

using Selection = SelectionOf<Attribution::kNone>;
using AttributedSelection = SelectionOf<Attribution::kFiles>;
using PlacedSelection = SelectionOf<Attribution::kPlaces>;

// Sorts the stored files by path.
FileOrder file_order(const Engine& engine);

class Forks;  // select.cpp

// What selection derives from the stored states alone, whatever rows an
// export then picks: the file order, the positions of the files that name
// other sessions, and the fingerprints of the sessions they name.  Holds
// pointers into the states, so it is valid only while they are unchanged:
// basis_of() keeps one with the engine and makes it again whenever the
// file table's version has moved on.
struct SelectionBasis {
  explicit SelectionBasis(FileOrder order);
  ~SelectionBasis();
  SelectionBasis(const SelectionBasis&) = delete;
  SelectionBasis& operator=(const SelectionBasis&) = delete;

  FileOrder order;
  std::vector<std::size_t> children;  // positions in `order` of the files naming parents
  std::size_t total_rows = 0;
  std::size_t message_rows = 0;
  std::unique_ptr<const Forks> forks;  // null when no file names a parent
  std::uint64_t version = 0;           // of the file table it was made from
};

// The engine's basis, made again first if the stored states changed since.
const SelectionBasis& basis_of(Engine& engine);

// Chooses the rows to export from `basis` (deterministic for a given state).
// Attribution::kFiles also records each selected row's file, and
// Attribution::kPlaces its file and its place; both require
// order.size() <= kMaxAttributedFiles and throw std::bad_array_new_length
// (a std::bad_alloc) otherwise: the driver then keeps the state and reports
// the export as one that could not be built.  The same for a state of
// UINT32_MAX rows or more (over 400 GiB of rows), beyond the indexes that
// key settling keeps.
template <Attribution A = Attribution::kNone>
SelectionOf<A> select_rows(const SelectionBasis& basis);
// The same from a file order alone (its basis made for this one call).
template <Attribution A = Attribution::kNone>
SelectionOf<A> select_rows(const FileOrder& order);

extern template Selection select_rows<Attribution::kNone>(const SelectionBasis& basis);
extern template AttributedSelection select_rows<Attribution::kFiles>(const SelectionBasis& basis);
extern template PlacedSelection select_rows<Attribution::kPlaces>(const SelectionBasis& basis);
extern template Selection select_rows<Attribution::kNone>(const FileOrder& order);
extern template AttributedSelection select_rows<Attribution::kFiles>(const FileOrder& order);
extern template PlacedSelection select_rows<Attribution::kPlaces>(const FileOrder& order);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_SELECT_H_
