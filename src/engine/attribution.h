// Attribution: whether an export also says which stored file each exported
// record came from.  Selection and export are compiled once per value, so
// an export without attribution carries no trace of it in its loops.
#ifndef LEDGERLY_ENGINE_ATTRIBUTION_H_
#define LEDGERLY_ENGINE_ATTRIBUTION_H_

#include <cstdint>
#include <limits>

namespace ledgerly::engine {

enum class Attribution : std::uint8_t {
  kNone,   // records only
  kFiles,  // records, then one 32-bit file index per record (see export.h)
  // Selection only (delta.h): each row's file, and where the row stands in
  // the export order (the file and row index of its key's first occurrence
  // for a message row that replaced it, its own otherwise).
  kPlaces,
};

// Whether a selection of this mode names each row's file.
constexpr bool names_files(Attribution a) noexcept { return a != Attribution::kNone; }

// The type of a file index, and the largest number of stored files an
// attributed export can index.
using FileIndex = std::uint32_t;
inline constexpr std::uint64_t kMaxAttributedFiles = std::numeric_limits<FileIndex>::max();

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_ATTRIBUTION_H_
