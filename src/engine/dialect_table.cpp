#include "engine/dialect_table.h"

namespace ledgerly::engine {
namespace {

std::uint64_t u64_at(const char* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

void put_u64(std::string& out, std::uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  out.append(b, 8);
}

}  // namespace

bool DialectTable::parse(std::string_view bytes) {
  entries_.clear();
  if (bytes.size() < 16) return false;
  const std::uint64_t count = u64_at(bytes.data());
  const std::uint64_t length = u64_at(bytes.data() + 8);
  const std::uint64_t rest = bytes.size() - 16;
  // 17 bytes of columns per entry; compared by division so nothing overflows.
  if (length > rest || (rest - length) % 17 != 0 || (rest - length) / 17 != count) return false;
  const std::string_view text = bytes.substr(16, length);
  const char* sizes = bytes.data() + 16 + length;
  const char* times = sizes + 8 * count;
  const char* kinds = times + 8 * count;
  entries_.reserve(count);
  std::size_t start = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (start > text.size() || (i + 1 < count) == (end == text.size())) {
      entries_.clear();  // more or fewer identities than entries
      return false;
    }
    DialectVerdict verdict;
    verdict.size = static_cast<std::int64_t>(u64_at(sizes + 8 * i));
    verdict.mtime_ns = static_cast<std::int64_t>(u64_at(times + 8 * i));
    verdict.kind = static_cast<std::uint8_t>(kinds[i]);
    entries_[text.substr(start, end - start)] = verdict;
    start = end + 1;
  }
  return true;
}

const DialectVerdict* DialectTable::find(std::string_view identity) const {
  const auto it = entries_.find(identity);
  return it == entries_.end() ? nullptr : &it->second;
}

void DialectTableWriter::add(std::string_view identity, std::int64_t size, std::int64_t mtime_ns,
                             std::uint8_t kind) {
  if (count_ != 0) identities_.push_back('\n');
  identities_.append(identity);
  put_u64(sizes_, static_cast<std::uint64_t>(size));
  put_u64(times_, static_cast<std::uint64_t>(mtime_ns));
  kinds_.push_back(static_cast<char>(kind));
  ++count_;
}

std::string DialectTableWriter::finish() {
  std::string out;
  out.reserve(16 + identities_.size() + sizes_.size() + times_.size() + kinds_.size());
  put_u64(out, count_);
  put_u64(out, identities_.size());
  out += identities_;
  out += sizes_;
  out += times_;
  out += kinds_;
  *this = DialectTableWriter();
  return out;
}

}  // namespace ledgerly::engine
