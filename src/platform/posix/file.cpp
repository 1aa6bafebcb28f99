// File on POSIX systems: open(2), read(2), pread(2), lseek(2), write(2),
// fstat(2), fcntl(2) (F_DUPFD_CLOEXEC), close(2).
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <utility>

namespace ledgerly::platform {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

FileKind kind_of(mode_t mode) noexcept {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISFIFO(mode)) return FileKind::kNamedPipe;
  if (S_ISCHR(mode)) return FileKind::kCharacterDevice;
  if (S_ISBLK(mode)) return FileKind::kBlockDevice;
  if (S_ISSOCK(mode)) return FileKind::kSocket;
  return FileKind::kOther;
}

// open(2) retried when interrupted; -1 with errno set on failure.
int open_retrying(const char* path, int flags, mode_t mode = 0) noexcept {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

struct FileAccess {
  static File adopt(int fd) noexcept {
    File file;
    file.fd_ = fd;
    return file;
  }
  static int fd(const File& file) noexcept { return file.fd_; }
};

namespace {

// Takes ownership of `fd`, just made by open(2) or fcntl(2) (negative: that
// call failed and errno says why), and finds its kind.  Sets `result.error`
// or `result.kind`; the File returned owns the descriptor (closed when it is
// dropped) and is closed when the call or fstat(2) failed.
File adopted(int fd, OpenResult& result) {
  if (fd < 0) {
    result.error = errno;
    return File();
  }
  File file = FileAccess::adopt(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    result.error = errno;
    return File();
  }
  result.kind = kind_of(st.st_mode);
  return file;
}

// Opens `path` with `flags` without blocking and keeps it only if it is a
// regular file, then blocking.
OpenResult open_regular(const std::string& path, int flags, mode_t mode = 0) {
  OpenResult result;
  File file =
      adopted(open_retrying(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode), result);
  if (!file.is_open() || result.kind != FileKind::kRegular) return result;
  // F_SETFL with 0 clears O_NONBLOCK and leaves the rest as opened (the
  // status flags it can change are all unset here; the access mode and
  // close-on-exec are not status flags).
  if (::fcntl(FileAccess::fd(file), F_SETFL, 0) < 0) {
    result.error = errno;
    return result;
  }
  result.file = std::move(file);
  return result;
}

}  // namespace

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool File::is_open() const noexcept { return fd_ >= 0; }

int File::read(char* buf, std::size_t n, std::size_t& got) noexcept {
  got = 0;
  for (;;) {
    const ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) {
      got = static_cast<std::size_t>(r);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int File::read_at(std::uint64_t offset, char* buf, std::size_t n, std::size_t& got) noexcept {
  got = 0;
  if (offset > kMaxOffset) return EINVAL;
  while (got < n) {
    const ssize_t r = ::pread(fd_, buf + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) break;  // end of file
    got += static_cast<std::size_t>(r);
  }
  return 0;
}

int File::seek(std::uint64_t offset) noexcept {
  if (offset > kMaxOffset) return EINVAL;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

int File::write_all(const char* data, std::size_t n) noexcept {
  while (n > 0) {
    const ssize_t r = ::write(fd_, data, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += r;
    n -= static_cast<std::size_t>(r);
  }
  return 0;
}

int File::size(std::uint64_t& out) noexcept {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return errno;
  out = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int File::close() noexcept {
  const int fd = std::exchange(fd_, -1);
  // The descriptor is released even when close() reports EINTR: retrying
  // could close a descriptor another thread has just been given.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

OpenResult open_for_reading(const std::string& path) { return open_regular(path, O_RDONLY); }

OpenResult duplicate_descriptor(int descriptor) {
  OpenResult result;
  File file = adopted(::fcntl(descriptor, F_DUPFD_CLOEXEC, 0), result);
  if (file.is_open() && result.kind == FileKind::kRegular) result.file = std::move(file);
  return result;
}

OpenResult create_for_writing(const std::string& path) {
  OpenResult result = open_regular(path, O_WRONLY | O_CREAT | O_TRUNC, S_IRUSR | S_IWUSR);
  // The mode given to open() applies only to a file it creates.
  if (result.file.is_open() && ::fchmod(FileAccess::fd(result.file), S_IRUSR | S_IWUSR) != 0) {
    result.error = errno;
    result.file = File();
  }
  return result;
}

}  // namespace ledgerly::platform
