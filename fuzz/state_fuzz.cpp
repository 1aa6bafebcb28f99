// Fuzzes the state file's reader.  Each input is loaded twice: as it is
// (so that the frame checks and the checksum see arbitrary bytes), and
// sealed, with this build's magic, versions, end mark and checksum written
// over it (so that the structure behind the checksum is reached).  Besides
// "no crash, no sanitizer report" it checks, for whatever loads:
//  - a refused load leaves the engine it was loaded into as it was;
//  - the loaded state saves, and that state loads and saves to the very
//    same bytes (what loads is what is saved);
//  - the loaded state refreshes without a crash: with a manifest naming
//    every stored file as unchanged (nothing is read from disk; a file
//    marked for another read is left out), forced, in both export forms,
//    and then with an empty manifest.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/attribution.h"
#include "engine/driver.h"
#include "engine/state.h"
#include "engine/state_format.h"
#include "engine/xxhash64.h"

namespace {

using namespace ledgerly::engine;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

std::string save(const Engine& engine, std::string_view extra) {
  StringSink sink;
  save_state(engine, extra, sink);
  return sink.bytes;
}

// Loads `bytes` into `engine`; false when refused (the engine unchanged).
bool load(std::string_view bytes, Engine& engine, std::string& extra) {
  const std::string before = save(engine, extra);
  try {
    MemorySource source(bytes);
    load_state(source, engine, extra);
    return true;
  } catch (const StateFileError& error) {
    check(std::strchr(error.what(), '\n') == nullptr, "a refusal's message is one line");
    check(save(engine, extra) == before, "a refused load changed the engine");
    return false;
  }
}

void exercise(const Engine& loaded, std::string_view extra) {
  const std::string once = save(loaded, extra);
  Engine again;
  std::string extra_again;
  check(load(once, again, extra_again), "a saved state does not load");
  check(extra_again == extra, "the extra bytes changed");
  check(save(again, extra_again) == once, "a loaded state saves to other bytes");

  std::vector<Input> manifest;
  again.files.for_each([&manifest](const FileState& file) {
    if (file.retry) return;
    Input in;
    in.path = std::string(file.path());
    in.size = file.size;
    in.identity = std::string(file.identity());
    in.mtime_ns = file.mtime_ns;
    in.source = file.source;
    manifest.push_back(std::move(in));
  });
  refresh(again, manifest, 1, true, nullptr, Attribution::kFiles);
  refresh(again, manifest, 1, true, nullptr, Attribution::kNone);
  refresh(again, manifest, 1, false, nullptr, Attribution::kFiles);
  refresh(again, std::vector<Input>{}, 1, false, nullptr, Attribution::kFiles);
  check(again.files.empty(), "an empty manifest left files behind");
}

// `bytes` with this build's frame: magic, format, layout, end mark and the
// checksum of the rest.
std::string sealed(std::string_view bytes) {
  namespace sf = state_format;
  std::string out(bytes);
  if (out.size() < sf::kHeaderSize + sf::kTrailerSize) return out;
  std::memcpy(out.data(), sf::kMagic, sizeof sf::kMagic);
  std::memcpy(out.data() + 8, &sf::kFormat, 4);
  std::memcpy(out.data() + 12, &sf::kLayout, 4);
  std::memcpy(out.data() + out.size() - 8, sf::kEndMark, sizeof sf::kEndMark);
  const std::uint64_t checksum = Xxh64::of(out.data(), out.size() - sf::kTrailerSize);
  std::memcpy(out.data() + out.size() - sf::kTrailerSize, &checksum, 8);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  for (const std::string& bytes : {std::string(raw), sealed(raw)}) {
    Engine engine;
    std::string extra;
    if (load(bytes, engine, extra)) exercise(engine, extra);
  }
  return 0;
}
