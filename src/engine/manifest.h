// Strict decoding of the manifest: a JSON array of Input records, each an
// object with the seven keys or an array of seven values in field order.
#ifndef LEDGERLY_ENGINE_MANIFEST_H_
#define LEDGERLY_ENGINE_MANIFEST_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/input.h"

namespace ledgerly::engine {

// A decoded manifest.  Its entries view the text they were decoded from,
// which must stay valid and unchanged while they are used, except for
// texts that held escapes: those are decoded into `unescaped`, owned here
// (a move keeps every view valid).
struct Manifest {
  std::vector<ManifestEntry> entries;
  // Decoded texts, back to back; sized once for the whole text (no decoded
  // string is longer than its JSON form), so that views never move.
  std::unique_ptr<char[]> unescaped;
  std::size_t unescaped_size = 0;

  // Entries viewing `inputs`, which must outlive the manifest.
  static Manifest of(const std::vector<Input>& inputs);
};

// Decodes `text` into `out` (replacing what it held), in text order.  On
// failure returns false and sets `error` to the full message, ending in
// " at line L column C" for the place where decoding stopped; `out` is then
// unspecified.  Never throws except std::bad_alloc.
bool decode_manifest(std::string_view text, Manifest& out, std::string& error);

// The same, into owned Input records.
bool decode_manifest(std::string_view text, std::vector<Input>& out, std::string& error);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_MANIFEST_H_
