// Export of the selected rows: model and project string tables in order of
// first use, and one little-endian record per row (record.h); with
// attribution also the table of the files that own records and one file
// index per record after the records.
#include "engine/export.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "engine/attribution.h"
#include "engine/json_writer.h"
#include "engine/record.h"
#include "engine/report.h"
#include "engine/seeded_hash.h"
#include "engine/select.h"
#include "engine/state.h"
#include "engine/text_table.h"
#include "parser/row.h"
#include "parser/shared_text.h"
#include "platform/memory.h"

namespace ledgerly::engine {
namespace {

using parser::Row;
using parser::SharedText;

using Record = std::array<std::uint64_t, record::kWordCount>;

void store_record(unsigned char* dst, const Record& words) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, words.data(), record::kSize);
  } else {
    for (std::size_t w = 0; w < record::kWordCount; ++w) {
      for (std::size_t b = 0; b < 8; ++b) {
        dst[w * 8 + b] = static_cast<unsigned char>(words[w] >> (8 * b));
      }
    }
  }
}

std::uint64_t word(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v); }

// Positions in the exported file table, given on first use: file order
// position -> table position.  One small array, so the lookup per record
// stays in cache.
class FilePositions {
 public:
  FilePositions(const FileOrder& order, std::vector<std::string_view>& entries)
      : order_(order), positions_(order.size(), kUnused), entries_(entries) {}

  FileIndex index_of(FileIndex file) {
    FileIndex& position = positions_[file];
    if (position == kUnused) {
      position = static_cast<FileIndex>(entries_.size());
      entries_.push_back(order_[file].first);
    }
    return position;
  }

 private:
  // No valid position: a table never holds more entries than there are
  // files, and select_rows refuses more than kMaxAttributedFiles of them.
  static constexpr FileIndex kUnused = std::numeric_limits<FileIndex>::max();
  const FileOrder& order_;
  std::vector<FileIndex> positions_;
  std::vector<std::string_view>& entries_;
};

void store_index(unsigned char* dst, FileIndex index) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &index, sizeof index);
  } else {
    for (std::size_t b = 0; b < sizeof index; ++b) {
      dst[b] = static_cast<unsigned char>(index >> (8 * b));
    }
  }
}

// The file positions of an attributed export; nothing otherwise.
template <Attribution A>
auto make_file_positions(const FileOrder& order, std::vector<std::string_view>& entries) {
  if constexpr (A == Attribution::kFiles) {
    return FilePositions(order, entries);
  } else {
    (void)order;
    (void)entries;
    return NoFiles{};
  }
}

}  // namespace

template <Attribution A>
ExportResult export_state(Engine& engine, BufferAllocator* allocator) {
  const SelectionBasis& basis = basis_of(engine);
  const FileOrder& order = basis.order;
  const SelectionOf<A> selection = select_rows<A>(basis);
  engine.inherited_events = selection.inherited_events;
  engine.unresolved_forks = selection.unresolved_forks;

  ExportResult out;
  const std::size_t n = selection.rows.size();
  out.rows = n;
  out.attributed = A == Attribution::kFiles;
  out.buffer.size = buffer_size(n, A);
  if (allocator != nullptr) {
    out.buffer.data = allocator->allocate(out.buffer.size);
  } else {
    out.buffer.owned.reset(new unsigned char[out.buffer.size]);  // left uninitialised
    out.buffer.data = out.buffer.owned.get();
  }
  // Written from end to end next: huge pages save most first-touch faults.
  platform::advise_huge_pages(out.buffer.data, out.buffer.size);

  const SeededHash hash;
  TextTable models(hash, out.models);
  TextTable projects(hash, out.projects);
  unsigned char* dst = out.buffer.data;
  [[maybe_unused]] unsigned char* index_dst = out.buffer.data + n * record::kSize;
  [[maybe_unused]] auto files = make_file_positions<A>(order, out.files);
  const std::size_t count = selection.rows.size();
  for (std::size_t k = 0; k < count; ++k) {
    if (k + parser::kPrefetchRowsAhead < count) {
      parser::prefetch(selection.rows[k + parser::kPrefetchRowsAhead]);
    }
    const Row* row = selection.rows[k];
    Record words;  // every word is set below
    words[record::kTimestamp] = word(row->timestamp());
    words[record::kModelIndex] = models.index_of(row->model());
    words[record::kProjectIndex] = projects.index_of(row->project());
    words[record::kKind] = row->kind();
    words[record::kSubagent] = row->subagent();
    words[record::kTier] = row->tier();
    words[record::kInputTokens] = word(row->input_tokens());
    words[record::kCachedInputTokens] = word(row->cached_input_tokens());
    words[record::kOutputTokens] = word(row->output_tokens());
    words[record::kReasoningOutputTokens] = word(row->reasoning_output_tokens());
    words[record::kCacheWrite5mTokens] = word(row->cache_write_5m_tokens());
    words[record::kCacheWrite1hTokens] = word(row->cache_write_1h_tokens());
    words[record::kCacheReadTokens] = word(row->cache_read_tokens());
    store_record(dst, words);
    dst += record::kSize;
    if constexpr (A == Attribution::kFiles) {
      store_index(index_dst, files.index_of(selection.files[k]));
      index_dst += sizeof(FileIndex);
    }
  }
  return out;
}

template ExportResult export_state<Attribution::kNone>(Engine&, BufferAllocator*);
template ExportResult export_state<Attribution::kFiles>(Engine&, BufferAllocator*);

void write_body(std::string& out, const ExportResult& result, const Report& report) {
  if (result.attributed) {
    out += "{\"files\":";
    write_json_string_array(out, result.files);
    out += ",\"models\":";
  } else {
    out += "{\"models\":";
  }
  write_json_string_array(out, result.models);
  out += ",\"projects\":";
  write_json_string_array(out, result.projects);
  out += ",\"rows\":";
  write_json_uint(out, result.rows);
  out += ",\"scan\":";
  write_report(out, report);
  out += ",\"schema\":1}";
}

}  // namespace ledgerly::engine
