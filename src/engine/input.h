// Input: one manifest entry, as the host describes a log file.
#ifndef LEDGERLY_ENGINE_INPUT_H_
#define LEDGERLY_ENGINE_INPUT_H_

#include <cstdint>
#include <string>

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

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_INPUT_H_
