// Xxh64: the 64-bit xxHash of a byte stream, fed in pieces of any size.
//
// The state file's checksum: computed while the file is written and while
// it is read, so neither needs a second pass over its bytes.  The result is
// the standard XXH64 with seed 0 of the concatenated pieces, however they
// were cut.  Portable C++ (64-bit multiplications and rotations only); input
// words are read as little-endian, the byte order the state file assumes
// (state_format.h).  Not a cryptographic hash: it detects accidental
// corruption, not tampering.
#ifndef LEDGERLY_ENGINE_XXHASH64_H_
#define LEDGERLY_ENGINE_XXHASH64_H_

#include <cstddef>
#include <cstdint>

namespace ledgerly::engine {

class Xxh64 {
 public:
  Xxh64() noexcept;
  void update(const void* data, std::size_t size) noexcept;
  // The hash of everything given so far; the object may be fed on.
  std::uint64_t digest() const noexcept;

  // The hash of one whole buffer.
  static std::uint64_t of(const void* data, std::size_t size) noexcept {
    Xxh64 hash;
    hash.update(data, size);
    return hash.digest();
  }

 private:
  std::uint64_t acc_[4];
  std::uint64_t total_ = 0;
  unsigned char pending_[32];  // the start of a stripe not yet complete
  std::size_t pending_size_ = 0;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_XXHASH64_H_
