// Input: one manifest entry, as the host describes a log file; and
// ManifestEntry, the same entry with its texts viewed where they lie.
#ifndef LEDGERLY_ENGINE_INPUT_H_
#define LEDGERLY_ENGINE_INPUT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace ledgerly::engine {

struct Input {
  std::string path;            // handed to open() as it stands; key of the file's state
  std::uint64_t size = 0;      // bytes to read at most
  std::string identity;        // opaque file identity, compared byte for byte
  std::uint64_t mtime_ns = 0;  // compared for equality only
  std::uint8_t source = 0;     // dialect code (parser/dialect.h)
  std::string project;         // initial project label of the file's rows
  bool sub = false;            // initial subagent flag
};

// An Input whose texts are views (into the manifest text, or into the
// decoded copies a Manifest keeps of texts that held escapes).  A refresh
// compares most entries with their stored state and drops them: only the
// entries that become read jobs are copied into an Input.
struct ManifestEntry {
  std::string_view path;
  std::uint64_t size = 0;
  std::string_view identity;
  std::uint64_t mtime_ns = 0;
  std::uint8_t source = 0;
  std::string_view project;
  bool sub = false;

  Input to_input() const {
    return Input{std::string(path),    size, std::string(identity), mtime_ns, source,
                 std::string(project), sub};
  }
  static ManifestEntry view_of(const Input& in) noexcept {
    return ManifestEntry{in.path, in.size, in.identity, in.mtime_ns, in.source, in.project, in.sub};
  }
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_INPUT_H_
