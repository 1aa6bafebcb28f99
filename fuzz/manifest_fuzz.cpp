// Fuzzes the manifest decoder.  Besides memory safety it checks that
//  - a failure message ends in " at line L column C" naming a place inside
//    the text (C never beyond the length of line L);
//  - a decoded manifest, written back in the array form and in the object
//    form, decodes to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/json_writer.h"
#include "engine/manifest.h"

namespace {

using ledgerly::engine::Input;

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const Input& a, const Input& b) {
  return a.path == b.path && a.size == b.size && a.identity == b.identity &&
         a.mtime_ns == b.mtime_ns && a.source == b.source && a.project == b.project &&
         a.sub == b.sub;
}

std::string encode(const std::vector<Input>& entries, bool object_form) {
  using ledgerly::engine::write_json_string;
  using ledgerly::engine::write_json_uint;
  std::string s = "[";
  for (const Input& in : entries) {
    if (s.size() > 1) s += ",\n";
    if (object_form) {
      s += "{\"sub\":";
      s += in.sub ? "true" : "false";
      s += ",\"path\":";
      write_json_string(s, in.path);
      s += ",\"size\":";
      write_json_uint(s, in.size);
      s += ",\"identity\":";
      write_json_string(s, in.identity);
      s += ",\"mtime_ns\":";
      write_json_uint(s, in.mtime_ns);
      s += ",\"source\":";
      write_json_uint(s, in.source);
      s += ",\"project\":";
      write_json_string(s, in.project);
      s += "}";
    } else {
      s += "[";
      write_json_string(s, in.path);
      s += ",";
      write_json_uint(s, in.size);
      s += ",";
      write_json_string(s, in.identity);
      s += ",";
      write_json_uint(s, in.mtime_ns);
      s += ",";
      write_json_uint(s, in.source);
      s += ",";
      write_json_string(s, in.project);
      s += in.sub ? ",true]" : ",false]";
    }
  }
  return s + "]";
}

void check_position(std::string_view text, std::string_view error) {
  const std::size_t at = error.rfind(" at line ");
  check(at != std::string_view::npos && at > 0);
  const std::size_t col_at = error.find(" column ", at + 9);
  check(col_at != std::string_view::npos);
  const std::string line_text(error.substr(at + 9, col_at - at - 9));
  const std::string col_text(error.substr(col_at + 8));
  check(!line_text.empty() && !col_text.empty());
  const unsigned long line = std::stoul(line_text);
  const unsigned long column = std::stoul(col_text);
  check(std::to_string(line) == line_text && std::to_string(column) == col_text);
  // Find line `line` and its length.
  std::size_t start = 0;
  for (unsigned long l = 1; l < line; ++l) {
    const std::size_t nl = text.find('\n', start);
    check(nl != std::string_view::npos);
    start = nl + 1;
  }
  const std::size_t nl = text.find('\n', start);
  const std::size_t length = (nl == std::string_view::npos ? text.size() : nl) - start;
  check(column <= length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Input> entries;
  std::string error;
  if (!ledgerly::engine::decode_manifest(text, entries, error)) {
    check_position(text, error);
    return 0;
  }
  for (const bool object_form : {false, true}) {
    const std::string again = encode(entries, object_form);
    std::vector<Input> decoded;
    check(ledgerly::engine::decode_manifest(again, decoded, error));
    check(decoded.size() == entries.size());
    for (std::size_t k = 0; k < entries.size(); ++k) check(same(decoded[k], entries[k]));
  }
  return 0;
}
