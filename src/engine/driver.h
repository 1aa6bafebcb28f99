// The refresh driver: brings the engine state in line with a manifest and
// produces the report text (and the row buffer when it exports).
#ifndef LEDGERLY_ENGINE_DRIVER_H_
#define LEDGERLY_ENGINE_DRIVER_H_

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/attribution.h"
#include "engine/export.h"
#include "engine/input.h"
#include "engine/manifest.h"
#include "engine/state.h"

namespace ledgerly::engine {

struct RefreshOutput {
  std::string text;                 // compact JSON report text
  std::optional<RowBuffer> buffer;  // present when the refresh exported
};

// Thrown by refresh() when memory runs out after every read result has been
// merged back into the state: the state is whole, so the engine stays
// usable, and the export that could not be built is left to the next
// refresh (`export_pending`).
class ResultOutOfMemory : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "out of memory while building the result"; }
};

// Runs one refresh on `engine`, which the caller holds exclusively (the
// engine lock).  `workers` is clamped to 1..32.  Throws FatalError when a
// worker thread cannot be started or dies; the caller must then treat the
// engine as poisoned.  Throws ResultOutOfMemory as above; any other
// std::bad_alloc may have lost states and poisons the engine too.
// A refresh exports when the state changed, when `force` is set, or when
// `engine.export_pending` says the previous export never arrived.
// When the refresh exports and `allocator` is given, the row buffer's
// memory comes from it.  `attribution` chooses the export's form (see
// export.h); it changes nothing else.
// The texts `manifest`'s entries view must stay valid until refresh()
// returns, but are not read once the read jobs are planned, before any
// file is read or `allocator` is called.
RefreshOutput refresh(Engine& engine, Manifest manifest, std::uint64_t workers, bool force,
                      BufferAllocator* allocator = nullptr,
                      Attribution attribution = Attribution::kNone);

// The same with owned entries (tests and tools).
RefreshOutput refresh(Engine& engine, const std::vector<Input>& manifest, std::uint64_t workers,
                      bool force, BufferAllocator* allocator = nullptr,
                      Attribution attribution = Attribution::kNone);

struct DeltaOutput {
  std::string text;  // compact JSON report text (delta_export.h)
  RowBuffer buffer;  // the delta's columns, always present (possibly empty)
};

// Runs one refresh like refresh() and hands over what changed in the
// selection since generation `since` (delta.h): when `since` is the
// engine's generation, the rows withdrawn and added since; otherwise a
// reset holding the whole selection, numbered in export order.  The
// generation moves on when the selection changed; a new engine's is 0, a
// loaded one's kLoadedGeneration.  refresh() moves it on too whenever it
// changes the state, so a delta caller that loses track gets a reset.
// Throws as refresh() does; after ResultOutOfMemory the state is whole and
// the caller's generation is out of date.
//
// With `removed`, the manifest holds only what changed: its entries are read
// as a whole manifest's would be, the stored states of the `removed` paths
// are dropped, and every other stored state is kept as it is, unlooked at.
// A caller that follows the files it gave sends what it knows to have
// changed, so that a refresh costs what changed rather than every file.
// The report's whole-state sums stay those of every stored state; its
// `scanned` counts the entries given.
DeltaOutput refresh_delta(Engine& engine, Manifest manifest, std::uint64_t workers,
                          std::uint64_t since, BufferAllocator* allocator = nullptr,
                          const std::vector<std::string>* removed = nullptr);
DeltaOutput refresh_delta(Engine& engine, const std::vector<Input>& manifest, std::uint64_t workers,
                          std::uint64_t since, BufferAllocator* allocator = nullptr,
                          const std::vector<std::string>* removed = nullptr);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_DRIVER_H_
