// A delta's tables, column buffer and body (see delta_export.h).
#include "engine/delta_export.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/json_writer.h"
#include "engine/seeded_hash.h"
#include "engine/text_table.h"
#include "platform/memory.h"

namespace ledgerly::engine {
namespace {

using parser::Row;

// Positions in the files table, given on first use.  Added rows come in
// runs of one file, so the last answer is kept in front of the map.
class FileNames {
 public:
  explicit FileNames(std::vector<std::string_view>& entries) : entries_(entries) {}

  std::uint32_t index_of(const FileState* file) {
    if (file == last_) return last_index_;
    auto [it, inserted] = index_.try_emplace(file, static_cast<std::uint32_t>(entries_.size()));
    if (inserted) entries_.push_back(file->path());
    last_ = file;
    last_index_ = it->second;
    return it->second;
  }

 private:
  std::vector<std::string_view>& entries_;
  std::unordered_map<const FileState*, std::uint32_t> index_;
  const FileState* last_ = nullptr;
  std::uint32_t last_index_ = 0;
};

// Writes `value` little-endian at `dst`.
template <typename T>
void put(unsigned char* dst, T value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &value, sizeof value);
  } else {
    for (std::size_t b = 0; b < sizeof value; ++b) {
      dst[b] = static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * b));
    }
  }
}

}  // namespace

DeltaExport export_delta(const DeltaRows& rows, BufferAllocator* allocator) {
  DeltaExport out;
  const std::size_t n = rows.added.size();
  const std::size_t m = rows.withdrawn.size();
  out.buffer.size = delta_buffer_size(n, m);
  if (allocator != nullptr) {
    out.buffer.data = allocator->allocate(out.buffer.size);
  } else {
    out.buffer.owned.reset(new unsigned char[out.buffer.size]);  // left uninitialised
    out.buffer.data = out.buffer.owned.get();
  }
  platform::advise_huge_pages(out.buffer.data, out.buffer.size);

  unsigned char* const base = out.buffer.data;
  unsigned char* const times = base;
  unsigned char* const counts = times + 8 * n;
  unsigned char* const withdrawn = counts + 7 * 8 * n;
  unsigned char* const ids = withdrawn + 4 * m;
  unsigned char* const models = ids + 4 * n;
  unsigned char* const projects = models + 4 * n;
  unsigned char* const files = projects + 4 * n;
  unsigned char* const places = files + 4 * n;
  unsigned char* const seqs = places + 4 * n;
  unsigned char* const kinds = seqs + 4 * n;
  unsigned char* const subagents = kinds + n;
  unsigned char* const tiers = subagents + n;

  for (std::size_t k = 0; k < m; ++k) put(withdrawn + 4 * k, rows.withdrawn[k]);

  const SeededHash hash;
  TextTable model_names(hash, out.models);
  TextTable project_names(hash, out.projects);
  FileNames file_names(out.files);
  for (std::size_t k = 0; k < n; ++k) {
    const AddedRow& added = rows.added[k];
    const Row& row = *added.row;
    put(times + 8 * k, row.timestamp());
    const auto c = row.counts();
    for (std::size_t j = 0; j < c.size(); ++j) put(counts + 8 * (j * n + k), c[j]);
    put(ids + 4 * k, added.id);
    put(models + 4 * k, static_cast<std::uint32_t>(model_names.index_of(row.model())));
    put(projects + 4 * k, static_cast<std::uint32_t>(project_names.index_of(row.project())));
    put(files + 4 * k, file_names.index_of(added.file));
    put(places + 4 * k, file_names.index_of(added.place));
    put(seqs + 4 * k, added.seq);
    kinds[k] = row.kind();
    subagents[k] = row.subagent();
    tiers[k] = row.tier();
  }
  return out;
}

void write_delta_body(std::string& out, const DeltaRows& rows, const DeltaExport& exported,
                      const Report& report, std::uint64_t generation) {
  out += "{\"added\":";
  write_json_uint(out, rows.added.size());
  out += ",\"files\":";
  write_json_string_array(out, exported.files);
  out += ",\"generation\":";
  write_json_uint(out, generation);
  out += ",\"models\":";
  write_json_string_array(out, exported.models);
  out += ",\"projects\":";
  write_json_string_array(out, exported.projects);
  out += rows.reset ? ",\"reset\":true" : ",\"reset\":false";
  out += ",\"rows\":";
  write_json_uint(out, rows.live);
  out += ",\"scan\":";
  write_report(out, report);
  out += ",\"schema\":1,\"withdrawn\":";
  write_json_uint(out, rows.withdrawn.size());
  out += '}';
}

}  // namespace ledgerly::engine
