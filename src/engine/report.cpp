#include "engine/report.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/json_writer.h"

namespace ledgerly::engine {
namespace {

void write_key(std::string& out, std::string_view key) {
  // Keys written here are plain ASCII identifiers.
  out.push_back('"');
  out.append(key);
  out.append("\":");
}

void write_counter(std::string& out, std::string_view key, std::uint64_t v) {
  write_key(out, key);
  write_json_uint(out, v);
  out.push_back(',');
}

}  // namespace

void write_report(std::string& out, const Report& report) {
  out.push_back('{');
  write_counter(out, "appended", report.appended);
  write_counter(out, "bytes_read", report.bytes_read);
  write_counter(out, "changed", report.changed);
  write_counter(out, "cumulative_resets", report.cumulative_resets);
  write_counter(out, "duplicate_snapshots", report.duplicate_snapshots);
  write_key(out, "errors");
  write_json_string_array(out, report.errors);
  out.push_back(',');
  write_counter(out, "inherited_events", report.inherited_events);
  write_counter(out, "invalid_usage", report.invalid_usage);
  write_counter(out, "malformed", report.malformed);
  write_counter(out, "pending_files", report.pending_files);
  write_counter(out, "rebuilt", report.rebuilt);
  write_counter(out, "removed", report.removed);
  write_counter(out, "scanned", report.scanned);
  write_counter(out, "unresolved_forks", report.unresolved_forks);
  write_key(out, "updated");
  out.append(report.updated ? "true" : "false");
  out.push_back('}');
}

}  // namespace ledgerly::engine
