// The fingerprints of a parent session's rows, and the test that makes a
// child's opening row inherited from its parents.
//
// A fingerprint is a row's 5 cumulative totals and its 7 token counts; only
// rows with totals have one.  A session's prints are one run of a flat
// array, sorted by hash and then by fingerprint bytes, equal fingerprints
// merged into one print that holds their earliest timestamp, so that a
// child's row is looked up by binary search on its hash.  Prints borrow the
// rows they were made from: valid while those rows are unchanged.
#ifndef LEDGERLY_ENGINE_FORK_PRINTS_H_
#define LEDGERLY_ENGINE_FORK_PRINTS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/seeded_hash.h"
#include "parser/row.h"

namespace ledgerly::engine {

// One distinct fingerprint of a session: its hash, the earliest timestamp
// among the session's rows holding it, and one of those rows (whose
// fingerprint is read to tell apart fingerprints of one hash).
struct Print {
  std::uint64_t hash;
  std::int64_t earliest;
  const parser::Row* row;
};

// A session's prints, sorted by hash.
struct PrintRange {
  const Print* begin;
  const Print* end;
};

// The hash of a row's fingerprint (the row must have totals).
std::uint64_t print_hash(const SeededHash& hash, const parser::Row& row) noexcept;

// Whether two rows with totals have the same fingerprint.
bool same_print(const parser::Row& a, const parser::Row& b) noexcept;

// Appends the prints of `rows` (those with totals) to `prints` as one run,
// sorted and merged as above; returns the run's length.
std::size_t append_prints(const SeededHash& hash, const std::vector<parser::Row>& rows,
                          std::vector<Print>& prints);

// A row of a child's opening run is inherited when some parent in `usable`
// (in order) holds its fingerprint from before the child's start, or the
// child has no start.  `row` must have totals.
bool inherited(const SeededHash& hash, const parser::Row& row,
               const std::vector<PrintRange>& usable, const std::optional<std::int64_t>& started);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_FORK_PRINTS_H_
