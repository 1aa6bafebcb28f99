#include "engine/json_writer.h"

#include <array>
#include <charconv>

namespace ledgerly::engine {
namespace {

// 1 for the bytes a JSON string literal must escape: controls, quote, backslash.
constexpr std::array<char, 256> make_needs_escape() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  return t;
}
constexpr std::array<char, 256> kNeedsEscape = make_needs_escape();

void append_escape(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case '\b': out.append("\\b"); return;
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\f': out.append("\\f"); return;
    case '\r': out.append("\\r"); return;
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(u, sizeof u);
      return;
    }
  }
}

}  // namespace

void write_json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (kNeedsEscape[c] == 0) continue;
    out.append(run, p);
    append_escape(out, c);
    run = p + 1;
  }
  out.append(run, end);
  out.push_back('"');
}

void write_json_uint(std::string& out, std::uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace ledgerly::engine
