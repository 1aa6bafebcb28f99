// Strict decoding of the manifest: a JSON array of Input records, each an
// object with the seven keys or an array of seven values in field order.
#ifndef LEDGERLY_ENGINE_MANIFEST_H_
#define LEDGERLY_ENGINE_MANIFEST_H_

#include <string>
#include <string_view>
#include <vector>

#include "engine/input.h"

namespace ledgerly::engine {

// Decodes `text` into `out` (cleared first), in text order.  On failure
// returns false and sets `error` to the full message, ending in
// " at line L column C" for the place where decoding stopped; `out` is then
// unspecified.  Never throws except std::bad_alloc.
bool decode_manifest(std::string_view text, std::vector<Input>& out, std::string& error);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_MANIFEST_H_
