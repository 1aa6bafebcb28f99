// Directory: the entries of one folder of the operating system, and the
// status of each (kind, size, modification time, identity), as a listing
// of log folders needs them.
//
// Contract:
//  - Paths and names are UTF-8 byte strings as in file.h.  On POSIX
//    systems a name is the system's bytes as they stand, UTF-8 or not; on
//    Windows it is the UTF-16 name in generalized UTF-8 (a lone surrogate,
//    which no valid UTF-8 holds, written as its three-byte form), so that
//    a name Windows accepts but UTF-8 cannot spell is still told apart.
//  - Errors are C library error numbers as in file.h (Windows codes mapped);
//    no call returns EINTR.
//  - open() reads nothing but the folder's first entries; next() yields the
//    rest one by one, without "." and "..", in the system's order.
//  - status() names an entry of the open folder.  As a call by the entry's
//    full path would, it fails with ENAMETOOLONG when that path is longer
//    than the system takes, even where it could be reached relative to
//    the folder.
//  - A Directory is closed when destroyed; it can be moved, not copied, and
//    is used by one thread at a time.
#ifndef LEDGERLY_PLATFORM_DIR_H_
#define LEDGERLY_PLATFORM_DIR_H_

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace ledgerly::platform {

// What the folder itself says an entry is, before any status call.
enum class EntryType : std::uint8_t {
  kUnknown,    // not said: ask status()
  kDirectory,  // a folder (not a symbolic link to one)
  kSymlink,    // a symbolic link, whatever it points at
  kOther,      // anything else: a regular file, a device, ...
};

struct DirEntry {
  std::string name;
  EntryType type = EntryType::kUnknown;
};

// What a status call finds.  `device` and `inode` identify the file while
// it exists: device and inode numbers on POSIX systems, the volume serial
// number and the file index on Windows.  `device_signed` says the system's
// device number is a signed type (macOS), so that it is written as the
// system's own tools write it.  `ctime_ns` is the time the file's status
// last changed (POSIX ctime: every write, and every change of its mode,
// owner or links; no program can set it back), 0 where none is given
// (Windows here).
struct FileStatus {
  FileKind kind = FileKind::kOther;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool device_signed = false;
};

class Directory {
 public:
  Directory() noexcept = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens the folder at `path` for listing.  Returns 0 or an error
  // (ENOTDIR for something that is not a folder).
  int open(const std::string& path);

  // The next entry into `entry`; `done` is set instead when none is left.
  // Returns 0 or an error (the listing is then incomplete).
  int next(DirEntry& entry, bool& done);

  // The status of the entry `name`; with `follow`, of what a symbolic link
  // points at.  Returns 0 or an error.
  int status(const std::string& name, bool follow, FileStatus& out) const;

 private:
  void close() noexcept;

  std::string path_;
#if defined(_WIN32)
  void* find_ = nullptr;  // a FindFirstFileExW handle; null when closed
  bool pending_ = false;  // the entry found by open() is not handed out yet
  void* data_ = nullptr;  // the WIN32_FIND_DATAW of the latest entry
#else
  void* dir_ = nullptr;  // a DIR*; null when closed
#endif
};

// The status of the file at `path`; with `follow`, of what a symbolic link
// points at.  Returns 0 or an error.
int file_status(const std::string& path, bool follow, FileStatus& out);

}  // namespace ledgerly::platform

#endif  // LEDGERLY_PLATFORM_DIR_H_
