// Row: one accepted usage event.
//
// A Row is move-only and compact (112 bytes): the seven token counts of the
// data model share five slots because an event row never carries cache-write
// or cache-read counts and a message row never carries cached-input or
// reasoning counts; likewise an event row's cumulative `totals` and a
// message row's dedup `key` share one area.  Which layout a row uses follows
// from its `kind`, the dialect code of its file (see dialect.h).  Accessors present the full
// 7-count view, returning 0 for counts the row's dialect never has.
#ifndef LEDGERLY_PARSER_ROW_H_
#define LEDGERLY_PARSER_ROW_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "parser/dialect.h"
#include "parser/seeded_hash.h"
#include "parser/shared_text.h"

namespace ledgerly::parser {

struct RowWire;  // row_wire.h: a Row as a record of the state file, and back

// Cumulative totals: input, cached input, output, reasoning output, total.
using Totals = std::array<std::int64_t, 5>;

class Row {
 public:
  // An event-dialect row (`kind` is not kMessageDialect).  `totals` may be
  // null (absent).
  static Row event(std::int64_t timestamp, SharedText model, SharedText project, std::uint8_t kind,
                   bool subagent, std::uint8_t tier, std::int64_t input, std::int64_t cached_input,
                   std::int64_t output, std::int64_t reasoning_output, const Totals* totals) {
    Row r(timestamp, std::move(model), std::move(project), kind, subagent, tier);
    r.n_[0] = input;
    r.n_[1] = output;
    r.n_[2] = cached_input;
    r.n_[3] = reasoning_output;
    if (totals != nullptr) {
      std::memcpy(r.u_.totals, totals->data(), sizeof r.u_.totals);
      r.flags_ |= kHasTotals;
    }
    return r;
  }

  // A message-dialect row with its dedup key (may be empty).
  static Row message(std::int64_t timestamp, SharedText model, SharedText project, bool subagent,
                     std::uint8_t tier, std::int64_t input, std::int64_t output,
                     std::int64_t cache_write_5m, std::int64_t cache_write_1h,
                     std::int64_t cache_read, std::string_view key) {
    Row r(timestamp, std::move(model), std::move(project), kMessageDialect, subagent, tier);
    r.n_[0] = input;
    r.n_[1] = output;
    r.n_[2] = cache_write_5m;
    r.n_[3] = cache_write_1h;
    r.n_[4] = cache_read;
    r.set_key(key);
    return r;
  }

  // Only RowWire can name this: it rebuilds a row from a state file's
  // record in place (row_wire.h defines the constructor that takes it).
  class WireKey {
    WireKey() = default;
    friend struct RowWire;
  };
  Row(WireKey, const unsigned char* record, const SharedText& model, const SharedText& project,
      std::string_view long_key);

  Row(Row&& other) noexcept { steal(other); }
  Row& operator=(Row&& other) noexcept {
    if (this != &other) {
      free_key();
      model_ = SharedText();
      project_ = SharedText();
      steal(other);
    }
    return *this;
  }
  Row(const Row&) = delete;
  Row& operator=(const Row&) = delete;
  ~Row() { free_key(); }

  std::int64_t timestamp() const noexcept { return timestamp_; }
  const SharedText& model() const noexcept { return model_; }
  const SharedText& project() const noexcept { return project_; }
  std::uint8_t kind() const noexcept { return kind_; }
  std::uint8_t subagent() const noexcept { return subagent_; }
  std::uint8_t tier() const noexcept { return tier_; }
  bool is_message() const noexcept { return is_message_dialect(kind_); }

  std::int64_t input_tokens() const noexcept { return n_[0]; }
  std::int64_t output_tokens() const noexcept { return n_[1]; }
  std::int64_t cached_input_tokens() const noexcept { return is_message() ? 0 : n_[2]; }
  std::int64_t reasoning_output_tokens() const noexcept { return is_message() ? 0 : n_[3]; }
  std::int64_t cache_write_5m_tokens() const noexcept { return is_message() ? n_[2] : 0; }
  std::int64_t cache_write_1h_tokens() const noexcept { return is_message() ? n_[3] : 0; }
  std::int64_t cache_read_tokens() const noexcept { return is_message() ? n_[4] : 0; }

  // The seven counts in row order: input, cached input, output, reasoning
  // output, cache write 5m, cache write 1h, cache read.
  std::array<std::int64_t, 7> counts() const noexcept {
    return {input_tokens(),          cached_input_tokens(),
            output_tokens(),         reasoning_output_tokens(),
            cache_write_5m_tokens(), cache_write_1h_tokens(),
            cache_read_tokens()};
  }

  // Cumulative totals, or nullptr when absent (always absent on message rows).
  const std::int64_t* totals() const noexcept {
    return (flags_ & kHasTotals) ? u_.totals : nullptr;
  }

  // The hash of key() (parser::key_hash), made when the row was: equal keys
  // have equal hashes.  0 on event rows.
  std::uint32_t key_hash() const noexcept { return key_hash_; }

  // Dedup key; always empty on event rows.
  std::string_view key() const noexcept {
    if (!is_message()) return {};
    if (flags_ & kHeapKey) return {u_.heap.ptr, u_.heap.len};
    return {u_.small.bytes, u_.small.len};
  }

 private:
  friend struct RowWire;
  static constexpr std::uint8_t kHasTotals = 1;
  static constexpr std::uint8_t kHeapKey = 2;
  static constexpr std::size_t kSmallKey = 39;

  Row(std::int64_t timestamp, SharedText model, SharedText project, std::uint8_t kind,
      bool subagent, std::uint8_t tier) noexcept
      : timestamp_(timestamp),
        model_(std::move(model)),
        project_(std::move(project)),
        kind_(kind),
        subagent_(subagent ? 1 : 0),
        tier_(tier) {
    std::memset(&u_, 0, sizeof u_);
  }

  void set_key(std::string_view key) {
    key_hash_ = parser::key_hash(key);
    if (key.size() <= kSmallKey) {
      if (!key.empty()) std::memcpy(u_.small.bytes, key.data(), key.size());
      u_.small.len = static_cast<std::uint8_t>(key.size());
      return;
    }
    char* p = static_cast<char*>(std::malloc(key.size()));
    if (p == nullptr) throw std::bad_alloc();
    std::memcpy(p, key.data(), key.size());
    u_.heap.ptr = p;
    u_.heap.len = key.size();
    flags_ |= kHeapKey;
  }
  void free_key() noexcept {
    if (flags_ & kHeapKey) std::free(u_.heap.ptr);
    flags_ &= static_cast<std::uint8_t>(~kHeapKey);
  }
  void steal(Row& o) noexcept {
    timestamp_ = o.timestamp_;
    std::memcpy(n_, o.n_, sizeof n_);
    model_ = std::move(o.model_);
    project_ = std::move(o.project_);
    std::memcpy(&u_, &o.u_, sizeof u_);
    kind_ = o.kind_;
    subagent_ = o.subagent_;
    tier_ = o.tier_;
    flags_ = o.flags_;
    key_hash_ = o.key_hash_;
    o.flags_ &= static_cast<std::uint8_t>(~kHeapKey);
  }

  std::int64_t timestamp_ = 0;
  std::int64_t n_[5] = {0, 0, 0, 0, 0};  // input, output, then dialect-specific
  SharedText model_;
  SharedText project_;
  union Area {
    std::int64_t totals[5];
    struct {
      char bytes[kSmallKey];
      std::uint8_t len;
    } small;
    struct {
      char* ptr;
      std::size_t len;
    } heap;
  } u_;
  std::uint8_t kind_ = 0;
  std::uint8_t subagent_ = 0;
  std::uint8_t tier_ = 0;
  std::uint8_t flags_ = 0;
  std::uint32_t key_hash_ = 0;  // in what would otherwise be padding
};

static_assert(sizeof(Row) <= 112, "Row must stay compact: it is stored per usage event");

// Loops that stream over many stored rows (selection, export) ask for the
// row kPrefetchRowsAhead places ahead of the one they are at, so that its
// loads are in flight instead of being waited on one row at a time.
inline constexpr std::size_t kPrefetchRowsAhead = 8;

// Asks for both cache lines a row may span.  Only a hint: never faults.
inline void prefetch(const Row* row) noexcept {
  const char* p = reinterpret_cast<const char*>(row);
  __builtin_prefetch(p);
  __builtin_prefetch(p + sizeof(Row) - 1);
}

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_ROW_H_
