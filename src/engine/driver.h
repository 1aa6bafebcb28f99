// The refresh driver: brings the engine state in line with a manifest and
// produces the report text (and the row buffer when it exports).
#ifndef LEDGERLY_ENGINE_DRIVER_H_
#define LEDGERLY_ENGINE_DRIVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/export.h"
#include "engine/input.h"
#include "engine/state.h"

namespace ledgerly::engine {

struct RefreshOutput {
  std::string text;                  // compact JSON report text
  std::optional<RowBuffer> buffer;   // present when the refresh exported
};

// Runs one refresh on `engine`, which the caller holds exclusively (the
// engine mutex).  `workers` is clamped to 1..32.  Throws FatalError when a
// worker thread cannot be started or dies; the caller must then treat the
// engine as poisoned.
// When the refresh exports and `allocator` is given, the row buffer's
// memory comes from it.
RefreshOutput refresh(Engine& engine, std::vector<Input> manifest, std::uint64_t workers,
                      bool force, BufferAllocator* allocator = nullptr);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_DRIVER_H_
