// The state file: an engine's whole state as bytes, and back.
//
// save_state() writes every stored file (path order) with its entry,
// offset, tail, counters, parsing context and rows, and the engine's own
// fields that later refreshes read; load_state() reads such bytes into a
// new Engine that then behaves, refresh for refresh, exactly as the one
// that was saved.  What is derived from the state (the selection basis,
// hash seeds, row key hashes) is made again, never read.  docs/state-file.md
// describes the layout; the constants below are the one definition of it in
// the code.
//
// The bytes are treated as hostile: every length is checked against the
// bytes that remain before it is used or allocated, nothing read is taken
// as a pointer or a size without that check, and the checksum (XXH64) over
// everything but the trailer is verified.  A refused input throws
// StateFileError and leaves nothing behind.
//
// Sources and sinks are the caller's (state_io.h: files; below: memory), so
// the format itself does no input or output of its own.
#ifndef LEDGERLY_ENGINE_STATE_FORMAT_H_
#define LEDGERLY_ENGINE_STATE_FORMAT_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/state.h"

namespace ledgerly::engine {

// Every number in the file is little-endian, and the code copies numbers
// between memory and the file as they lie: this is the one place that
// requires the machine to be little-endian (x86-64, arm64).
static_assert(std::endian::native == std::endian::little,
              "the state file is read and written in the machine's byte order");

namespace state_format {

// "\x89LST\r\n\x1a\n": a high byte and line ends, so that a file mangled
// as text or cut at its start is not taken for a state.
inline constexpr unsigned char kMagic[8] = {0x89, 'L', 'S', 'T', '\r', '\n', 0x1a, '\n'};
inline constexpr unsigned char kEndMark[8] = {'L', 'S', 'T', ' ', 'E', 'N', 'D', '\n'};
// The layout of the containers: header, sections, trailer.
inline constexpr std::uint32_t kFormat = 1;
// What the records mean: the fields of a file state, a context and a row,
// and what the parser made of the lines behind them.  A build whose parser
// or state changes what a stored field holds, or what a later refresh
// makes of it, takes the next number, so that states saved by builds
// before it are refused rather than misread.  (The assertions below catch
// the changes of shape; a change of meaning needs the bump by hand.)
inline constexpr std::uint32_t kLayout = 1;
static_assert(sizeof(parser::Counters) == 5 * sizeof(std::uint64_t) && Tail::kCapacity == 64 &&
                  parser::Context::ModelMemo::kEntries == 8,
              "the state file's records changed shape: take the next kLayout and update "
              "docs/state-file.md");

inline constexpr std::size_t kHeaderSize = 32;   // magic, format, layout, files, rows
inline constexpr std::size_t kTrailerSize = 16;  // checksum, end mark

// Flags of the engine section.
inline constexpr std::uint64_t kRefreshed = 1;
inline constexpr std::uint64_t kExportPending = 2;

// Flags of a file record.
inline constexpr std::uint8_t kRetry = 1;
inline constexpr std::uint8_t kSnapshot = 2;
inline constexpr std::uint8_t kStarted = 4;
inline constexpr std::uint8_t kSubagent = 8;
inline constexpr std::uint8_t kHasSession = 16;

}  // namespace state_format

// A refused state: the text says why, on one line (see docs/state-file.md
// for the list).
class StateFileError : public std::runtime_error {
 public:
  explicit StateFileError(const std::string& message) : std::runtime_error(message) {}
};

// An operating-system error while reading or writing a state: `errnum` is
// the system's error number.
class StateIoError : public std::runtime_error {
 public:
  explicit StateIoError(int error_number)
      : std::runtime_error("state file I/O error"), errnum(error_number) {}
  int errnum;
};

// Where save_state() puts the bytes.  write() takes them all or throws
// (StateIoError).
class StateSink {
 public:
  virtual ~StateSink() = default;
  virtual void write(const unsigned char* data, std::size_t size) = 0;
};

// Where load_state() takes the bytes from: `size()` of them, read in order
// by read() (which returns how many it placed, 0 only at the end, and
// throws StateIoError), plus read_at() for a few bytes at a given offset
// (false when fewer than `size` bytes are there).
class StateSource {
 public:
  virtual ~StateSource() = default;
  virtual std::uint64_t size() const = 0;
  virtual std::size_t read(unsigned char* out, std::size_t size) = 0;
  virtual bool read_at(std::uint64_t offset, unsigned char* out, std::size_t size) = 0;
};

// Counts of a state as saved or loaded.
struct StateSummary {
  std::uint64_t files = 0;
  std::uint64_t rows = 0;   // stored rows, every file's
  std::uint64_t bytes = 0;  // of the whole state file
};

// Writes `engine` (which the caller holds exclusively) with `extra`, bytes
// of the caller's own that load_state() hands back unchanged.  Does not
// change the engine.  Throws what the sink throws, or std::bad_alloc.
StateSummary save_state(const Engine& engine, std::string_view extra, StateSink& sink);

// Reads a state into `out` (replacing whatever it held) and its extra
// bytes into `extra`.  Throws StateFileError for bytes that are not a
// whole, intact state of this build's format and layout, StateIoError
// when the source fails, or std::bad_alloc; `out` and `extra` are then
// unchanged.
StateSummary load_state(StateSource& source, Engine& out, std::string& extra);

// What the start of a state file says: its counts, where its extra bytes
// lie, and its size.
struct StateHead {
  std::uint64_t files = 0;
  std::uint64_t rows = 0;
  std::uint64_t extra_offset = 0;  // from the file's start
  std::uint64_t extra_size = 0;
  std::uint64_t bytes = 0;  // of the whole file
};

// Reads the header and the extra bytes' length without reading further,
// so that a host can show a state's counts or read its own part of the
// extra bytes without loading it.  Checks what those bytes can show, with
// load_state()'s texts: empty, cut short, not a state, another format or
// layout, extra bytes longer than the file holds.  The counts are taken as
// they stand (only a load checks them against the file).  Throws
// StateFileError, or StateIoError when the source fails.
StateHead read_head(StateSource& source);

// A sink that collects the bytes in memory (tests, fuzzing).
class StringSink final : public StateSink {
 public:
  void write(const unsigned char* data, std::size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
  }
  std::string bytes;
};

// A source over bytes in memory, which must outlive it (tests, fuzzing).
class MemorySource final : public StateSource {
 public:
  explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  std::size_t read(unsigned char* out, std::size_t size) override {
    const std::size_t n = size < bytes_.size() - at_ ? size : bytes_.size() - at_;
    if (n != 0) std::memcpy(out, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  bool read_at(std::uint64_t offset, unsigned char* out, std::size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size != 0) std::memcpy(out, bytes_.data() + offset, size);
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_STATE_FORMAT_H_
