// The export of the selected rows (see select.h) as string tables plus one
// record per row (see record.h), and the report body that goes with them.
#ifndef LEDGERLY_ENGINE_EXPORT_H_
#define LEDGERLY_ENGINE_EXPORT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/attribution.h"
#include "engine/record.h"
#include "engine/report.h"
#include "engine/state.h"

namespace ledgerly::engine {

// Supplies the memory of the row buffer, so that a caller can have the
// records written straight into the object it hands on (no second copy).
// allocate() is called once per export, with the exact size, on the thread
// that runs the export; it returns writable memory the allocator keeps
// owning, or throws std::bad_alloc.
class BufferAllocator {
 public:
  virtual ~BufferAllocator() = default;
  virtual unsigned char* allocate(std::size_t size) = 0;
};

// A byte buffer allocated once at its final size: by the engine (`owned`
// holds it) or by a BufferAllocator (`owned` is empty).
struct RowBuffer {
  std::unique_ptr<unsigned char[]> owned;
  unsigned char* data = nullptr;
  std::size_t size = 0;
};

struct ExportResult {
  // Borrowed from the engine's state: valid until the state next changes.
  std::vector<std::string_view> models;
  std::vector<std::string_view> projects;
  // With attribution: the paths of the files that own at least one exported
  // record, in order of first use (like the two tables above).
  std::vector<std::string_view> files;
  bool attributed = false;
  std::uint64_t rows = 0;
  // rows * record::kSize bytes of records; with attribution followed by
  // rows * 4 bytes: one little-endian uint32 per record, in record order,
  // the position in `files` of the file the record came from.
  RowBuffer buffer;
};

// The row buffer's size for `rows` records.
constexpr std::size_t buffer_size(std::size_t rows, Attribution attribution) noexcept {
  return rows * (record::kSize + (attribution == Attribution::kFiles ? sizeof(FileIndex) : 0));
}

// Runs selection over every stored file, stores the two counts into
// `engine`, and builds the string tables and the row buffer, whose memory
// comes from `allocator` when one is given.  Attribution::kFiles adds the
// file table and the file indexes (see ExportResult).
template <Attribution A = Attribution::kNone>
ExportResult export_state(Engine& engine, BufferAllocator* allocator = nullptr);

extern template ExportResult export_state<Attribution::kNone>(Engine&, BufferAllocator*);
extern template ExportResult export_state<Attribution::kFiles>(Engine&, BufferAllocator*);

// Appends the report body as compact JSON: members "files" (attributed
// exports only), "models", "projects", "rows", "scan" (the Report) and
// "schema" (1), in that order.
void write_body(std::string& out, const ExportResult& result, const Report& report);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_EXPORT_H_
