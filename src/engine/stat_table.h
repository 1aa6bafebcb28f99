// The stat table: what a listing saw of each file of its manifest, beside
// the manifest, for the host's change test.
//
// One record of 40 bytes per manifest entry, in manifest order: the file's
// device and inode numbers (uint64), size, modification time and status
// change time (ctime) in nanoseconds (int64), all little-endian; a ctime
// of 0 means none is known.  The engine itself compares a file's identity,
// size and modification time only; a file rewritten in place with all
// three as they were (a backup restored over it, a time set back) would
// keep its old rows.  Its ctime moves with every such write and cannot be
// set back, so the host keeps the table of the listing its engine last
// read and compares the next one with it (moved_in_place).
#ifndef LEDGERLY_ENGINE_STAT_TABLE_H_
#define LEDGERLY_ENGINE_STAT_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ledgerly::engine {

struct StatRecord {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
};

inline constexpr std::size_t kStatRecordSize = 40;

// Appends `record` to `table`.
void append_stat(std::string& table, const StatRecord& record);

// The indexes of the records of `now` whose file (the same device and
// inode) has a record in `before` with the same size and modification time
// but another ctime, both known: files rewritten in place since `before`,
// which must be read again from the start.  Ascending.  A table whose
// length is not a whole number of records is taken as far as its whole
// records go.  Throws only std::bad_alloc.
std::vector<std::uint32_t> moved_in_place(std::string_view before, std::string_view now);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_STAT_TABLE_H_
