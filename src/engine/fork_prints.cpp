// Fingerprints of parent sessions and the inheritance test of a child's row.
#include "engine/fork_prints.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace ledgerly::engine {
namespace {

using parser::Row;

constexpr std::size_t kFingerprintBytes = 12 * sizeof(std::int64_t);

// Fingerprint of a row with totals: its 5 totals then its 7 counts.
struct Fingerprint {
  char bytes[kFingerprintBytes];
  explicit Fingerprint(const Row& row) noexcept {
    const auto counts = row.counts();
    std::memcpy(bytes, row.totals(), 5 * sizeof(std::int64_t));
    std::memcpy(bytes + 5 * sizeof(std::int64_t), counts.data(), 7 * sizeof(std::int64_t));
  }
  std::string_view view() const noexcept { return {bytes, sizeof bytes}; }
};

}  // namespace

std::uint64_t print_hash(const SeededHash& hash, const Row& row) noexcept {
  return hash(Fingerprint(row).view());
}

bool same_print(const Row& a, const Row& b) noexcept {
  return std::memcmp(a.totals(), b.totals(), 5 * sizeof(std::int64_t)) == 0 &&
         a.counts() == b.counts();
}

std::size_t append_prints(const SeededHash& hash, const std::vector<Row>& rows,
                          std::vector<Print>& prints) {
  const std::size_t begin = prints.size();
  for (const Row& row : rows) {
    if (row.totals() != nullptr)
      prints.push_back(Print{print_hash(hash, row), row.timestamp(), &row});
  }
  // Equal fingerprints end up side by side (by hash, then by bytes) and
  // merge into one print holding their earliest timestamp.
  const auto first = prints.begin() + static_cast<std::ptrdiff_t>(begin);
  std::sort(first, prints.end(), [](const Print& a, const Print& b) {
    if (a.hash != b.hash) return a.hash < b.hash;
    return Fingerprint(*a.row).view() < Fingerprint(*b.row).view();
  });
  std::size_t kept = begin;
  for (std::size_t i = begin; i < prints.size(); ++i) {
    if (kept > begin && prints[kept - 1].hash == prints[i].hash &&
        same_print(*prints[kept - 1].row, *prints[i].row)) {
      Print& merged = prints[kept - 1];
      merged.earliest = std::min(merged.earliest, prints[i].earliest);
    } else {
      prints[kept++] = prints[i];
    }
  }
  prints.resize(kept);
  return kept - begin;
}

bool inherited(const SeededHash& hash, const Row& row, const std::vector<PrintRange>& usable,
               const std::optional<std::int64_t>& started) {
  if (usable.empty()) return false;
  const std::uint64_t h = print_hash(hash, row);
  for (const PrintRange& prints : usable) {
    const Print* p = std::lower_bound(prints.begin, prints.end, h,
                                      [](const Print& e, std::uint64_t v) { return e.hash < v; });
    for (; p != prints.end && p->hash == h; ++p) {
      if (!same_print(*p->row, row)) continue;
      if (!started || p->earliest < *started) return true;
      break;
    }
  }
  return false;
}

}  // namespace ledgerly::engine
