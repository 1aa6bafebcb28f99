#include "engine/stat_table.h"

#include <cstring>
#include <unordered_map>
#include <utility>

namespace ledgerly::engine {
namespace {

// Every number in the table is little-endian, as in the state file (whose
// header asserts a little-endian machine): records are copied as they lie.
StatRecord record_at(std::string_view table, std::size_t i) {
  StatRecord r;
  const char* p = table.data() + i * kStatRecordSize;
  std::memcpy(&r.device, p, 8);
  std::memcpy(&r.inode, p + 8, 8);
  std::memcpy(&r.size, p + 16, 8);
  std::memcpy(&r.mtime_ns, p + 24, 8);
  std::memcpy(&r.ctime_ns, p + 32, 8);
  return r;
}

struct IdentityHash {
  std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& id) const noexcept {
    return static_cast<std::size_t>(id.second ^ (id.first * 0x9E3779B97F4A7C15ull));
  }
};

bool rewritten(const StatRecord& was, const StatRecord& is) noexcept {
  return was.size == is.size && was.mtime_ns == is.mtime_ns && was.ctime_ns != is.ctime_ns &&
         was.ctime_ns != 0 && is.ctime_ns != 0;
}

}  // namespace

void append_stat(std::string& table, const StatRecord& record) {
  char bytes[kStatRecordSize];
  std::memcpy(bytes, &record.device, 8);
  std::memcpy(bytes + 8, &record.inode, 8);
  std::memcpy(bytes + 16, &record.size, 8);
  std::memcpy(bytes + 24, &record.mtime_ns, 8);
  std::memcpy(bytes + 32, &record.ctime_ns, 8);
  table.append(bytes, sizeof bytes);
}

std::vector<std::uint32_t> moved_in_place(std::string_view before, std::string_view now) {
  const std::size_t old_count = before.size() / kStatRecordSize;
  const std::size_t new_count = now.size() / kStatRecordSize;
  std::vector<std::uint32_t> out;
  // The usual case: the same files in the same order (a listing of the same
  // tree), compared pairwise without a table.
  std::size_t i = 0;
  for (; i < old_count && i < new_count; ++i) {
    const StatRecord was = record_at(before, i), is = record_at(now, i);
    if (was.device != is.device || was.inode != is.inode) break;
    if (rewritten(was, is)) out.push_back(static_cast<std::uint32_t>(i));
  }
  if (i == new_count) return out;
  std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, StatRecord, IdentityHash> earlier;
  earlier.reserve(old_count - (i < old_count ? i : old_count));
  for (std::size_t k = i; k < old_count; ++k) {
    const StatRecord was = record_at(before, k);
    earlier.emplace(std::make_pair(was.device, was.inode), was);
  }
  for (std::size_t k = i; k < new_count; ++k) {
    const StatRecord is = record_at(now, k);
    const auto found = earlier.find({is.device, is.inode});
    if (found != earlier.end() && rewritten(found->second, is)) {
      out.push_back(static_cast<std::uint32_t>(k));
    }
  }
  return out;
}

}  // namespace ledgerly::engine
