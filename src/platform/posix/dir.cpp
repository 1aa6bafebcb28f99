// Directory on POSIX systems: opendir(3), readdir(3) with the entry's type
// where the system gives one, fstatat(2) relative to the open folder.
#include "platform/dir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <type_traits>
#include <utility>

namespace ledgerly::platform {
namespace {

DIR* dir_of(void* d) noexcept { return static_cast<DIR*>(d); }

FileKind kind_of(mode_t mode) noexcept {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISFIFO(mode)) return FileKind::kNamedPipe;
  if (S_ISCHR(mode)) return FileKind::kCharacterDevice;
  if (S_ISBLK(mode)) return FileKind::kBlockDevice;
  if (S_ISSOCK(mode)) return FileKind::kSocket;
  return FileKind::kOther;
}

void fill(const struct stat& st, FileStatus& out) noexcept {
  out.kind = kind_of(st.st_mode);
  out.size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
  const struct timespec& mtime = st.st_mtimespec;
  const struct timespec& ctime = st.st_ctimespec;
#else
  const struct timespec& mtime = st.st_mtim;
  const struct timespec& ctime = st.st_ctim;
#endif
  out.mtime_ns = static_cast<std::int64_t>(mtime.tv_sec) * 1000000000 + mtime.tv_nsec;
  out.ctime_ns = static_cast<std::int64_t>(ctime.tv_sec) * 1000000000 + ctime.tv_nsec;
  out.device_signed = std::is_signed_v<dev_t>;
  out.device = static_cast<std::uint64_t>(st.st_dev);
  out.inode = static_cast<std::uint64_t>(st.st_ino);
}

EntryType type_of([[maybe_unused]] const struct dirent& entry) noexcept {
#if defined(DT_UNKNOWN) && !defined(LEDGERLY_PORTABLE)
  switch (entry.d_type) {
    case DT_UNKNOWN: return EntryType::kUnknown;
    case DT_DIR: return EntryType::kDirectory;
    case DT_LNK: return EntryType::kSymlink;
    default: return EntryType::kOther;
  }
#else
  return EntryType::kUnknown;
#endif
}

}  // namespace

Directory::~Directory() { close(); }

Directory::Directory(Directory&& other) noexcept
    : path_(std::move(other.path_)), dir_(std::exchange(other.dir_, nullptr)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    dir_ = std::exchange(other.dir_, nullptr);
  }
  return *this;
}

void Directory::close() noexcept {
  if (dir_ != nullptr) ::closedir(dir_of(std::exchange(dir_, nullptr)));
}

int Directory::open(const std::string& path) {
  close();
  DIR* dir;
  do {
    dir = ::opendir(path.c_str());
  } while (dir == nullptr && errno == EINTR);
  if (dir == nullptr) return errno;
  dir_ = dir;
  path_ = path;
  return 0;
}

int Directory::next(DirEntry& entry, bool& done) {
  done = false;
  for (;;) {
    errno = 0;
    const struct dirent* found = ::readdir(dir_of(dir_));
    if (found == nullptr) {
      if (errno == EINTR) continue;
      if (errno != 0) return errno;
      done = true;
      return 0;
    }
    const char* name = found->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    entry.name.assign(name);
    entry.type = type_of(*found);
    return 0;
  }
}

int Directory::status(const std::string& name, bool follow, FileStatus& out) const {
#if defined(PATH_MAX)
  // The full path, as join() writes it, with its terminating NUL.
  const bool slash = !path_.empty() && path_.back() == '/';
  if (path_.size() + (slash ? 0 : 1) + name.size() + 1 > PATH_MAX) return ENAMETOOLONG;
#endif
  struct stat st {};
  int r;
  do {
    r = ::fstatat(::dirfd(dir_of(dir_)), name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return errno;
  fill(st, out);
  return 0;
}

int file_status(const std::string& path, bool follow, FileStatus& out) {
  struct stat st {};
  int r;
  do {
    r = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return errno;
  fill(st, out);
  return 0;
}

}  // namespace ledgerly::platform
