// XXH64 over 32-byte stripes of four 64-bit lanes; the tail of a piece that
// does not fill a stripe waits in `pending_` for the next piece.
#include "engine/xxhash64.h"

#include <bit>
#include <cstring>

namespace ledgerly::engine {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint32_t load32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t round(std::uint64_t acc, std::uint64_t input) noexcept {
  acc += input * kPrime2;
  acc = std::rotl(acc, 31);
  return acc * kPrime1;
}

std::uint64_t merge(std::uint64_t h, std::uint64_t acc) noexcept {
  h ^= round(0, acc);
  return h * kPrime1 + kPrime4;
}

// Folds the whole stripes of [p, p + size) into `acc`; returns the bytes used.
std::size_t stripes(std::uint64_t* acc, const unsigned char* p, std::size_t size) noexcept {
  std::uint64_t a0 = acc[0], a1 = acc[1], a2 = acc[2], a3 = acc[3];
  std::size_t used = 0;
  for (; size - used >= 32; used += 32) {
    a0 = round(a0, load64(p + used));
    a1 = round(a1, load64(p + used + 8));
    a2 = round(a2, load64(p + used + 16));
    a3 = round(a3, load64(p + used + 24));
  }
  acc[0] = a0;
  acc[1] = a1;
  acc[2] = a2;
  acc[3] = a3;
  return used;
}

}  // namespace

Xxh64::Xxh64() noexcept : acc_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1}, pending_{} {}

void Xxh64::update(const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  total_ += size;
  if (pending_size_ > 0) {
    const std::size_t take = size < 32 - pending_size_ ? size : 32 - pending_size_;
    std::memcpy(pending_ + pending_size_, p, take);
    pending_size_ += take;
    p += take;
    size -= take;
    if (pending_size_ < 32) return;
    stripes(acc_, pending_, 32);
    pending_size_ = 0;
  }
  const std::size_t used = stripes(acc_, p, size);
  if (used < size) {
    std::memcpy(pending_, p + used, size - used);
    pending_size_ = size - used;
  }
}

std::uint64_t Xxh64::digest() const noexcept {
  std::uint64_t h;
  if (total_ >= 32) {
    h = std::rotl(acc_[0], 1) + std::rotl(acc_[1], 7) + std::rotl(acc_[2], 12) +
        std::rotl(acc_[3], 18);
    for (const std::uint64_t acc : acc_) h = merge(h, acc);
  } else {
    h = kPrime5;  // the seed (0) plus kPrime5
  }
  h += total_;
  const unsigned char* p = pending_;
  std::size_t left = pending_size_;
  for (; left >= 8; p += 8, left -= 8) {
    h ^= round(0, load64(p));
    h = std::rotl(h, 27) * kPrime1 + kPrime4;
  }
  if (left >= 4) {
    h ^= static_cast<std::uint64_t>(load32(p)) * kPrime1;
    h = std::rotl(h, 23) * kPrime2 + kPrime3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) {
    h ^= *p * kPrime5;
    h = std::rotl(h, 11) * kPrime1;
  }
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

}  // namespace ledgerly::engine
