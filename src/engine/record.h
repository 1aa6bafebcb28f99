// The record of the row buffer: one per exported row, 13 little-endian
// 64-bit words in the order of Word below.  This enum is the one definition
// of the layout in the native code (the Python package publishes the same
// layout for the host); the record's size follows from it.
#ifndef LEDGERLY_ENGINE_RECORD_H_
#define LEDGERLY_ENGINE_RECORD_H_

#include <cstddef>
#include <cstdint>

namespace ledgerly::engine::record {

enum Word : std::size_t {
  kTimestamp,     // Unix milliseconds, signed
  kModelIndex,    // position of the row's model in the body's "models"
  kProjectIndex,  // position of the row's project in the body's "projects"
  kKind,          // the file's dialect code (parser/dialect.h)
  kSubagent,      // 1 when the row is a subagent's
  kTier,          // service-tier code
  kInputTokens,   // the seven token counts, signed, in the row's order
  kCachedInputTokens,
  kOutputTokens,
  kReasoningOutputTokens,
  kCacheWrite5mTokens,
  kCacheWrite1hTokens,
  kCacheReadTokens,
  kWordCount,
};

inline constexpr std::size_t kSize = kWordCount * sizeof(std::uint64_t);
// Hosts read the buffer by this layout (report "schema" 1): a change to it
// is a new schema, never a silent one.
static_assert(kSize == 104);

}  // namespace ledgerly::engine::record

#endif  // LEDGERLY_ENGINE_RECORD_H_
