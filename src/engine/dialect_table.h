// The dialect table: which dialect each log file was recognised as, kept
// per file identity with the size and modification time it was judged at,
// so that a listing opens only the files that changed since.  The host
// writes and reads the same bytes (ledgerly.sources.SniffCache.dump):
//
//   8      count n (uint64, little-endian)
//   8      length t of the identities' text (uint64)
//   t      the n identities, ASCII, separated by "\n"
//   8n     sizes (int64 each)
//   8n     modification times in nanoseconds (int64 each)
//   n      dialect codes (255: neither dialect)
//
// The bytes come from a file: parse() checks every length before using it
// and takes nothing on trust.
#ifndef LEDGERLY_ENGINE_DIALECT_TABLE_H_
#define LEDGERLY_ENGINE_DIALECT_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ledgerly::engine {

// The code for "recognised as neither dialect".
inline constexpr std::uint8_t kNoDialect = 255;

struct DialectVerdict {
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint8_t kind = kNoDialect;
};

class DialectTable {
 public:
  // Takes the entries of `bytes`, which must outlive the table (its keys
  // view them).  Returns false, leaving the table empty, for bytes that
  // are not a table; an identity given twice keeps its last entry.
  bool parse(std::string_view bytes);

  // The entry of `identity`, or null.
  const DialectVerdict* find(std::string_view identity) const;

  std::size_t size() const noexcept { return entries_.size(); }

 private:
  std::unordered_map<std::string_view, DialectVerdict> entries_;
};

// Writes a table, entry by entry.
class DialectTableWriter {
 public:
  void add(std::string_view identity, std::int64_t size, std::int64_t mtime_ns, std::uint8_t kind);
  // The table's bytes; the writer is empty afterwards.
  std::string finish();

 private:
  std::string identities_;
  std::string sizes_;
  std::string times_;
  std::string kinds_;
  std::uint64_t count_ = 0;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_DIALECT_TABLE_H_
