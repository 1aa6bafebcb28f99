// SeededHash: a multiply-xorshift hash over 8-byte words, keyed by a seed
// drawn from the operating system's random source once per table.
#include "engine/seeded_hash.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace ledgerly::engine {
namespace {

constexpr std::uint64_t kMul1 = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kMul2 = 0xbf58476d1ce4e5b9ULL;
constexpr std::uint64_t kMul3 = 0x94d049bb133111ebULL;

// Fills `out` with random bytes; false when no source delivered them all.
bool random_bytes(void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(p + got, n - got, 0);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // ENOSYS on old kernels, or a seccomp filter: try the device
    }
  }
  if (got == n) return true;

  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(fd);
  return got == n;
}

std::uint64_t fallback_seed(const void* self) {
  // No random source at all: still differ between tables and runs.
  auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return t ^ (reinterpret_cast<std::uintptr_t>(self) * kMul1);
}

inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline std::uint64_t finish(std::uint64_t h) noexcept {
  h ^= h >> 30;
  h *= kMul2;
  h ^= h >> 27;
  h *= kMul3;
  h ^= h >> 31;
  return h;
}

}  // namespace

SeededHash::SeededHash() : seed_(0) {
  if (!random_bytes(&seed_, sizeof seed_)) seed_ = fallback_seed(this);
}

std::size_t SeededHash::operator()(std::string_view s) const noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  // The length enters first so that texts differing only by trailing NUL
  // bytes hash apart.
  std::uint64_t h = seed_ ^ (static_cast<std::uint64_t>(n) * kMul1);
  while (n >= 8) {
    h ^= load_word(p) * kMul2;
    h = (h ^ (h >> 29)) * kMul1;
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);  // only the bytes that exist
    h ^= w * kMul2;
    h = (h ^ (h >> 29)) * kMul1;
  }
  return static_cast<std::size_t>(finish(h));
}

}  // namespace ledgerly::engine
