// Row selection across files (fork inheritance and message-key dedup) and
// the export of the selected rows as string tables plus 104-byte records.
#ifndef LEDGERLY_ENGINE_EXPORT_H_
#define LEDGERLY_ENGINE_EXPORT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/report.h"
#include "engine/state.h"

namespace ledgerly::engine {

inline constexpr std::size_t kRecordSize = 104;

// (path, state) pairs sorted by path bytes.
using FileOrder = std::vector<std::pair<std::string_view, const FileState*>>;

struct Selection {
  std::vector<const parser::Row*> rows;  // output order
  std::uint64_t inherited_events = 0;
  std::uint64_t unresolved_forks = 0;
};

// Sorts the stored files by path.
FileOrder file_order(const Engine& engine);

// Chooses the rows to export from `order` (deterministic for a given state).
Selection select_rows(const FileOrder& order);

// A byte buffer allocated once at its final size.
struct RowBuffer {
  std::unique_ptr<unsigned char[]> data;
  std::size_t size = 0;
};

struct ExportResult {
  // Borrowed from the engine's state: valid until the state next changes.
  std::vector<std::string_view> models;
  std::vector<std::string_view> projects;
  std::uint64_t rows = 0;
  RowBuffer buffer;  // rows * 104 bytes
};

// Runs selection over every stored file, stores the two counts into
// `engine`, and builds the string tables and the row buffer.
ExportResult export_state(Engine& engine);

// Appends the report body as compact JSON: members "models", "projects",
// "rows", "scan" (the Report) and "schema" (1), in that order.
void write_body(std::string& out, const ExportResult& result, const Report& report);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_EXPORT_H_
