// File: an open file of the operating system, with the few operations the
// engine needs: open a regular file for reading without blocking, read
// sequentially or at an offset, create a private file and write it, take
// over a duplicate of a descriptor the caller opened, ask its size.
//
// Contract:
//  - Paths are UTF-8 byte strings, handed to the system as they stand (on
//    Windows converted to UTF-16; a path that is not valid UTF-8 fails with
//    EILSEQ there).  A path must not hold a NUL byte: callers refuse those
//    before calling (the open would otherwise name a shorter path).
//  - Errors are C library error numbers (errno values), 0 meaning success.
//    On Windows the system's own error codes are mapped to these numbers
//    (see windows/win32_error.h); error_message() renders them.
//  - Every call that the system may interrupt with a signal is retried, so
//    EINTR is never returned.
//  - A File is closed when destroyed; it can be moved, not copied.  One
//    File is used by one thread at a time.
//  - Files are opened close-on-exec (never inherited by a child process).
#ifndef LEDGERLY_PLATFORM_FILE_H_
#define LEDGERLY_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace ledgerly::platform {

// What a path names, as found after opening it.
enum class FileKind : std::uint8_t {
  kRegular,
  kDirectory,
  kNamedPipe,
  kCharacterDevice,
  kBlockDevice,
  kSocket,
  kOther,
};

class File {
 public:
  File() noexcept = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const noexcept;

  // Reads up to `n` bytes at the current position into `buf` with one
  // system call; `got` is 0 at the end of the file.  Returns 0 or an error.
  int read(char* buf, std::size_t n, std::size_t& got) noexcept;

  // Reads `n` bytes at `offset`, going on after short reads until all `n`
  // bytes arrived or the file ended (then `got` < n).  Where read() goes on
  // afterwards is unspecified: seek() first.  An offset beyond what the
  // system can address fails with EINVAL.  Returns 0 or an error.
  int read_at(std::uint64_t offset, char* buf, std::size_t n, std::size_t& got) noexcept;

  // Moves the position of read() to `offset` from the start.  An offset
  // beyond what the system can address fails with EINVAL.
  int seek(std::uint64_t offset) noexcept;

  // Writes all `n` bytes at the current position, going on after short
  // writes.  Returns 0 or an error (some bytes may have been written).
  int write_all(const char* data, std::size_t n) noexcept;

  // The file's size in bytes now.
  int size(std::uint64_t& out) noexcept;

  // Closes the file and returns the system's verdict (a writer learns here
  // of a failed delayed write).  The File is closed afterwards either way.
  int close() noexcept;

 private:
  // Each implementation's opening functions reach the handle through it.
  friend struct FileAccess;
#if defined(_WIN32)
  void* handle_ = nullptr;  // a HANDLE; null when closed
#else
  int fd_ = -1;
#endif
};

// The outcome of open_for_reading(): `error` 0 and `kind` set, or the
// error of the open.  `file` is open only for a regular file.
struct OpenResult {
  File file;
  FileKind kind = FileKind::kOther;
  int error = 0;
};

// Opens `path` for reading.  The open itself never blocks and never makes
// a terminal the controlling one, so a named pipe without a writer or a
// device can be looked at safely.  Only a regular file is kept open (its
// reads then block as usual); any other kind is closed again at once and
// only reported in `kind`.  Other processes may go on writing, renaming
// and removing the file while it is open.
OpenResult open_for_reading(const std::string& path);

// Creates `path` for writing, or empties it if it is a regular file,
// readable and writable by its owner alone: mode 0600 on POSIX systems, an
// existing file's mode included; on Windows the folder's inherited access
// rules apply, as for any file the user creates there.  Like
// open_for_reading() the open never blocks (a named pipe without a reader
// fails or is named, never waited on), and `file` is open only for a
// regular file.
OpenResult create_for_writing(const std::string& path);

// A File of its own for the file that the C runtime's descriptor
// `descriptor` has open (a duplicate: dup(2), or on Windows the handle
// behind the descriptor duplicated), with its kind as open_for_reading()
// reports it: `file` is open only for a regular file.  The descriptor stays
// open and the caller's; the two share one file position.  Nothing is
// opened by name, so the file is the one the caller opened and checked,
// whatever has been renamed or linked in at its name since.  EBADF for a
// descriptor that is not open.
OpenResult duplicate_descriptor(int descriptor);

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_FILE_H_
