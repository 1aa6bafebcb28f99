// Vectorised search for a small fixed set of byte needles.
//
// The line prefilter asks one question of every raw log line: does any of a
// few short needles occur in it?  NeedleSet describes up to four needles that
// all begin with the same byte.  Each needle also names an "anchor": an
// offset inside it whose byte is rare in ordinary text.  The vector kernels
// test 16 or 32 start positions at once for "first byte here AND some
// needle's anchor byte at its offset", and confirm the few candidates with a
// byte comparison, so the cost on lines without needles is a few vector
// instructions per block of bytes.
//
// Contract:
//  - find_any() returns the smallest position in `hay` at which a needle of
//    the set starts (the minimum of std::string_view::find over the needles),
//    or std::string_view::npos when none occurs.  contains_any() is
//    find_any() != npos.  Callers that scan a whole buffer of lines use the
//    position to visit only the lines holding a needle.
//  - It never reads outside `hay`: the vector loops stop while every load is
//    still inside it and a scalar loop handles the remaining positions.
//  - The kernel is chosen once per process: AVX2 when the CPU supports it,
//    else SSE2 on x86-64, else a portable scalar loop.  find_any_with() and
//    contains_any_with() run a named kernel (tests use them to cover every
//    kernel on one machine).
//  - Thread-safe: a NeedleSet is immutable after construction.
#ifndef LEDGERLY_PARSER_SEARCH_H_
#define LEDGERLY_PARSER_SEARCH_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace ledgerly::parser {

struct Needle {
  std::string_view text;  // must outlive the NeedleSet (use literals)
  std::size_t anchor;     // 0 < anchor < text.size(): the byte tested besides text[0]
};

class NeedleSet {
 public:
  static constexpr std::size_t kMax = 4;

  // Built at compile time only: 1 to kMax needles of at least two bytes,
  // all with the same first byte, each with 0 < anchor < size.  A set that
  // breaks these rules does not compile.
  consteval NeedleSet(std::initializer_list<Needle> needles) {
    for (const Needle& n : needles) {
      if (count_ == kMax || n.text.size() < 2 || n.text[0] != needles.begin()->text[0] ||
          n.anchor == 0 || n.anchor >= n.text.size())
        throw "invalid needle set";
      needles_[count_++] = n;
      if (n.anchor > max_anchor_) max_anchor_ = n.anchor;
      if (min_size_ == 0 || n.text.size() < min_size_) min_size_ = n.text.size();
    }
    if (count_ == 0) throw "invalid needle set";
  }

  std::size_t count() const noexcept { return count_; }
  const Needle& operator[](std::size_t i) const noexcept { return needles_[i]; }
  char first() const noexcept { return needles_[0].text[0]; }
  std::size_t max_anchor() const noexcept { return max_anchor_; }
  std::size_t min_size() const noexcept { return min_size_; }

 private:
  std::array<Needle, kMax> needles_{};
  std::size_t count_ = 0;
  std::size_t max_anchor_ = 0;
  std::size_t min_size_ = 0;
};

enum class SearchKernel : std::uint8_t { kScalar, kSse2, kAvx2 };

// True when this build and CPU can run `kernel`.
bool kernel_supported(SearchKernel kernel) noexcept;

// The kernel contains_any() uses on this machine.
SearchKernel best_kernel() noexcept;

std::size_t find_any(std::string_view hay, const NeedleSet& set) noexcept;
bool contains_any(std::string_view hay, const NeedleSet& set) noexcept;

// Run `kernel`, which must be supported.
std::size_t find_any_with(SearchKernel kernel, std::string_view hay, const NeedleSet& set) noexcept;
bool contains_any_with(SearchKernel kernel, std::string_view hay, const NeedleSet& set) noexcept;

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_SEARCH_H_
