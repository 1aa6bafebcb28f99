#include "engine/report.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/json_writer.h"

namespace ledgerly::engine {

void write_report(std::string& out, const Report& report) {
  // Every member as its key and its JSON text, then written in ascending
  // byte order of the keys.
  std::vector<std::pair<std::string_view, std::string>> members;
  const auto count = [&members](std::string_view key, std::uint64_t value) {
    std::string text;
    write_json_uint(text, value);
    members.emplace_back(key, std::move(text));
  };
  count("scanned", report.scanned);
  count("changed", report.changed);
  count("removed", report.removed);
  count("bytes_read", report.bytes_read);
  count("rebuilt", report.rebuilt);
  count("appended", report.appended);
  for (const parser::CounterField& field : parser::kCounterFields) {
    count(field.name, report.counters.*field.member);
  }
  count("pending_files", report.pending_files);
  count("unresolved_forks", report.unresolved_forks);
  std::string errors;
  write_json_string_array(errors, report.errors);
  members.emplace_back("errors", std::move(errors));
  members.emplace_back("updated", report.updated ? "true" : "false");
  std::sort(members.begin(), members.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  out.push_back('{');
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i > 0) out.push_back(',');
    // Keys are plain ASCII identifiers: nothing to escape.
    out.push_back('"');
    out.append(members[i].first);
    out.append("\":");
    out.append(members[i].second);
  }
  out.push_back('}');
}

}  // namespace ledgerly::engine
