// A delta (delta.h) as the caller receives it: string tables, a buffer of
// columns, and the body of the report text.
//
// The buffer holds, for `n` added rows and `m` withdrawn ids, these
// little-endian columns one after the other, each whole before the next
// (so every column is aligned to its width when the buffer is):
//
//   timestamp                    n × int64   Unix milliseconds
//   the seven token counts       7 × n × int64, one column each, in the
//                                row's order (input, cached input, output,
//                                reasoning output, cache write 5m, cache
//                                write 1h, cache read)
//   withdrawn                    m × uint32  the ids that left the selection
//   id                           n × uint32  the id of each added row
//   model, project               n × uint32  positions in "models", "projects"
//   file, place                  n × uint32  positions in "files": the file
//                                holding the row, the file it stands in
//   seq                          n × uint32  the row's index in its place
//   kind, subagent, tier         n × uint8   as in the records (record.h)
#ifndef LEDGERLY_ENGINE_DELTA_EXPORT_H_
#define LEDGERLY_ENGINE_DELTA_EXPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/delta.h"
#include "engine/export.h"
#include "engine/report.h"

namespace ledgerly::engine {

namespace delta_layout {
inline constexpr std::size_t kWideColumns = 8;    // timestamp and the seven counts
inline constexpr std::size_t kNarrowColumns = 6;  // id, model, project, file, place, seq
inline constexpr std::size_t kByteColumns = 3;    // kind, subagent, tier
inline constexpr std::size_t kAddedBytes = 8 * kWideColumns + 4 * kNarrowColumns + kByteColumns;
inline constexpr std::size_t kWithdrawnBytes = 4;
}  // namespace delta_layout

constexpr std::size_t delta_buffer_size(std::size_t added, std::size_t withdrawn) noexcept {
  return added * delta_layout::kAddedBytes + withdrawn * delta_layout::kWithdrawnBytes;
}

struct DeltaExport {
  // Borrowed from the engine's state: valid until the state next changes.
  // Each lists the texts of the added rows in order of first use.
  std::vector<std::string_view> models;
  std::vector<std::string_view> projects;
  std::vector<std::string_view> files;  // paths of the files and places named
  RowBuffer buffer;
};

// Builds the tables and the buffer of `rows`; the buffer's memory comes from
// `allocator` when one is given (once, at its exact size).
DeltaExport export_delta(const DeltaRows& rows, BufferAllocator* allocator = nullptr);

// Appends the report text of a delta as compact JSON: members "added",
// "files", "generation", "models", "projects", "reset", "rows" (the rows
// selected after it), "scan" (the Report), "schema" (1) and "withdrawn".
void write_delta_body(std::string& out, const DeltaRows& rows, const DeltaExport& exported,
                      const Report& report, std::uint64_t generation);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_DELTA_EXPORT_H_
