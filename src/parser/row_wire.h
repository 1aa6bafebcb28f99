// RowWire: a Row as the fixed 100-byte record of the state file, and back
// (a row rebuilt in place at the end of a vector).
//
// The record keeps the row's own memory layout where it can, so that
// writing and reading one is a few copies:
//
//   offset  size  field
//        0     8  timestamp (signed)
//        8    40  the five count slots: input, output, then three whose
//                 meaning follows the kind (Row's accessors)
//       48     4  model text reference
//       52     4  project text reference
//       56    40  area: an event row's five totals (zeros when absent); a
//                 message row's key of up to 39 bytes followed by its
//                 length in the last byte, or, for a longer key, its length
//                 as 8 bytes followed by zeros (the key's bytes then follow
//                 the record)
//       96     1  kind (dialect code)
//       97     1  subagent flag (0 or 1)
//       98     1  tier code
//       99     1  flags: 1 the row has totals, 2 its key follows the record
//
// Text references are the caller's (the state file's text table).  Numbers
// are copied in the machine's byte order, which the state file requires to
// be little-endian (engine/state_format.h asserts it).  The key hash is
// not stored: append() computes it, since its seed belongs to the process.
#ifndef LEDGERLY_PARSER_ROW_WIRE_H_
#define LEDGERLY_PARSER_ROW_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "parser/dialect.h"
#include "parser/row.h"
#include "parser/shared_text.h"

namespace ledgerly::parser {

struct RowWire {
  static constexpr std::size_t kSize = 100;
  static constexpr std::size_t kTimestamp = 0;
  static constexpr std::size_t kCounts = 8;
  static constexpr std::size_t kModel = 48;
  static constexpr std::size_t kProject = 52;
  static constexpr std::size_t kArea = 56;
  static constexpr std::size_t kKind = 96;
  static constexpr std::size_t kSubagent = 97;
  static constexpr std::size_t kTier = 98;
  static constexpr std::size_t kFlags = 99;
  static constexpr std::uint8_t kTotalsFlag = 1;
  static constexpr std::uint8_t kLongKeyFlag = 2;
  static constexpr std::size_t kAreaSize = 40;
  static_assert(sizeof(Row::Area) == kAreaSize);
  static_assert(sizeof(Row::n_) == kModel - kCounts);

  // Writes `row` as a record at `out` (kSize bytes) with the given text
  // references.  Returns the key when it is too long for the record (the
  // caller writes its bytes right after the record), else an empty view.
  static std::string_view put(const Row& row, std::uint32_t model, std::uint32_t project,
                              unsigned char* out) noexcept {
    std::memcpy(out + kTimestamp, &row.timestamp_, 8);
    std::memcpy(out + kCounts, row.n_, sizeof row.n_);
    std::memcpy(out + kModel, &model, 4);
    std::memcpy(out + kProject, &project, 4);
    std::uint8_t flags = 0;
    std::string_view long_key;
    if (row.flags_ & Row::kHeapKey) {
      const std::uint64_t length = row.u_.heap.len;
      std::memset(out + kArea, 0, kAreaSize);
      std::memcpy(out + kArea, &length, 8);
      flags |= kLongKeyFlag;
      long_key = row.key();
    } else {
      std::memcpy(out + kArea, &row.u_, kAreaSize);
    }
    if (row.flags_ & Row::kHasTotals) flags |= kTotalsFlag;
    out[kKind] = row.kind_;
    out[kSubagent] = row.subagent_;
    out[kTier] = row.tier_;
    out[kFlags] = flags;
    return long_key;
  }

  // What a record holds besides the row's own fields.
  struct Head {
    std::uint32_t model = 0;
    std::uint32_t project = 0;
    std::uint64_t long_key = 0;  // bytes of key following the record (0: none)
  };

  // Reads the head of the record at `in`.  Returns null, or why the
  // record is not one that put() writes.
  static const char* read_head(const unsigned char* in, Head& head) noexcept {
    const std::uint8_t flags = in[kFlags];
    const bool message = is_message_dialect(in[kKind]);
    if (flags & ~(kTotalsFlag | kLongKeyFlag)) return "a row has unknown flags";
    if (in[kSubagent] > 1) return "a row's subagent flag is neither 0 nor 1";
    head.long_key = 0;
    if (message) {
      if (flags & kTotalsFlag) return "a message row has totals";
      if (flags & kLongKeyFlag) {
        std::memcpy(&head.long_key, in + kArea, 8);
        if (head.long_key <= Row::kSmallKey) return "a long key is short";
        for (std::size_t i = 8; i < kAreaSize; ++i) {
          if (in[kArea + i] != 0) return "a long key's record is not zero-filled";
        }
      } else if (in[kArea + kAreaSize - 1] > Row::kSmallKey) {
        return "a key is longer than its record";
      }
    } else if (flags & kLongKeyFlag) {
      return "an event row has a key";
    }
    std::memcpy(&head.model, in + kModel, 4);
    std::memcpy(&head.project, in + kProject, 4);
    return nullptr;
  }

  // Appends to `rows` the row of a record that read_head() accepted, with
  // its texts and, when it has one, the long key that followed it.
  static void append(std::vector<Row>& rows, const unsigned char* in, const SharedText& model,
                     const SharedText& project, std::string_view long_key) {
    rows.emplace_back(Row::WireKey(), in, model, project, long_key);
  }
};

inline Row::Row(WireKey, const unsigned char* in, const SharedText& model,
                const SharedText& project, std::string_view long_key)
    : model_(model),
      project_(project),
      kind_(in[RowWire::kKind]),
      subagent_(in[RowWire::kSubagent]),
      tier_(in[RowWire::kTier]) {
  std::memcpy(&timestamp_, in + RowWire::kTimestamp, 8);
  std::memcpy(n_, in + RowWire::kCounts, sizeof n_);
  if (in[RowWire::kFlags] & RowWire::kLongKeyFlag) {
    std::memset(&u_, 0, sizeof u_);
    set_key(long_key);
    return;
  }
  std::memcpy(&u_, in + RowWire::kArea, RowWire::kAreaSize);
  if (in[RowWire::kFlags] & RowWire::kTotalsFlag) flags_ |= kHasTotals;
  if (is_message()) key_hash_ = parser::key_hash(key());
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_ROW_WIRE_H_
