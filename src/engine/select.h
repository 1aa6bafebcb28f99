// Row selection across the stored files: fork inheritance for event rows
// and message-key deduplication decide which rows an export writes.
#ifndef LEDGERLY_ENGINE_SELECT_H_
#define LEDGERLY_ENGINE_SELECT_H_

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/state.h"
#include "parser/row.h"

namespace ledgerly::engine {

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

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_SELECT_H_
