// SeededHash: a hash of byte texts for hash tables, and
// TextEqual, the matching equality; both accept anything convertible to
// std::string_view, so tables keyed on std::string can be probed with views.
//
// Each SeededHash draws its seed from the operating system's random source
// (platform/random.h; failing that, the clock mixed with its address), so
// a crafted set of paths cannot degrade lookups for every table.  Not a
// cryptographic hash.
#ifndef LEDGERLY_PARSER_SEEDED_HASH_H_
#define LEDGERLY_PARSER_SEEDED_HASH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ledgerly::parser {

class SeededHash {
 public:
  using is_transparent = void;
  SeededHash();
  explicit SeededHash(std::uint64_t seed) noexcept : seed_(seed) {}
  std::size_t operator()(std::string_view s) const noexcept;

 private:
  std::uint64_t seed_;
};

// The hash a Row keeps of its message key: one seed for the whole process,
// so that equal keys stored by any engine, worker or refresh hash alike.
std::uint32_t key_hash(std::string_view key) noexcept;

struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_SEEDED_HASH_H_
