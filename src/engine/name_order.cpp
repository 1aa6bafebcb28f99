#include "engine/name_order.h"

#include "parser/utf8.h"
#include "platform/names.h"

namespace ledgerly::engine {
namespace {

// The code point at `p` and the bytes it takes, as described in the header.
std::size_t next_code_point(const char* p, const char* end, char32_t& cp) noexcept {
  const std::size_t n = parser::decode_utf8(p, end, cp);
  if (n != 0) return n;
  const std::size_t spelled = platform::name_code_point(p, end, cp);
  if (spelled != 0) return spelled;
  const auto b0 = static_cast<unsigned char>(p[0]);
  cp = 0xDC00 + b0;
  return 1;
}

}  // namespace

bool is_utf8(std::string_view name) noexcept {
  const char* p = name.data();
  const char* end = p + name.size();
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    const int n = parser::check_utf8(p, end);
    if (n <= 0) return false;
    p += n;
  }
  return true;
}

bool name_before(std::string_view a, bool a_utf8, std::string_view b, bool b_utf8) noexcept {
  if (a_utf8 && b_utf8) return a < b;
  const char* p = a.data();
  const char* p_end = p + a.size();
  const char* q = b.data();
  const char* q_end = q + b.size();
  while (p < p_end && q < q_end) {
    char32_t x = 0, y = 0;
    p += next_code_point(p, p_end, x);
    q += next_code_point(q, q_end, y);
    if (x != y) return x < y;
  }
  return p == p_end && q != q_end;
}

}  // namespace ledgerly::engine
