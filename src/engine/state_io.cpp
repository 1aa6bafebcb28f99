// The state file's system calls (POSIX).  Reads and writes are retried when
// a signal interrupts them, and go on after a short count; opens never
// block (a named pipe without a writer, a terminal), and only regular
// files are read or written.
#include "engine/state_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace ledgerly::engine {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// The kind of a file that is neither regular nor a directory.
const char* kind_of(mode_t mode) noexcept {
  return S_ISFIFO(mode)   ? "named pipe"
         : S_ISCHR(mode)  ? "character device"
         : S_ISBLK(mode)  ? "block device"
         : S_ISSOCK(mode) ? "socket"
                          : "unknown kind of file";
}

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

  // Closes now and reports a failure (a write-back error on some file
  // systems surfaces only here).  EINTR leaves the descriptor closed on the
  // systems this runs on, so it is not a failure.
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw StateIoError(errno);
  }

 private:
  int fd_;
};

// Opens `path` with `flags` (never blocking), retried when interrupted, and
// checks what it names: a directory fails with EISDIR, any other kind but
// a regular file with StateFileError.  The descriptor is left blocking;
// `size` receives the file's size.
Descriptor open_regular(const std::string& path, int flags, mode_t mode, std::uint64_t& size) {
  if (path.find('\0') != std::string::npos) throw StateIoError(EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw StateIoError(errno);
  Descriptor file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw StateIoError(errno);
  if (S_ISDIR(st.st_mode)) throw StateIoError(EISDIR);
  if (!S_ISREG(st.st_mode)) {
    throw StateFileError(std::string("the path is not a regular file (") + kind_of(st.st_mode) +
                         ")");
  }
  // Clears O_NONBLOCK; the access mode and close-on-exec are not status flags.
  if (::fcntl(fd, F_SETFL, 0) < 0) throw StateIoError(errno);
  size = static_cast<std::uint64_t>(st.st_size);
  return file;
}

class FileSink final : public StateSink {
 public:
  explicit FileSink(int fd) noexcept : fd_(fd) {}
  void write(const unsigned char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw StateIoError(errno);
      }
      if (n == 0) throw StateIoError(EIO);
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
};

class FileSource final : public StateSource {
 public:
  FileSource(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}
  std::uint64_t size() const override { return size_; }
  std::size_t read(unsigned char* out, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_, out, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throw StateIoError(errno);
    }
  }
  bool read_at(std::uint64_t offset, unsigned char* out, std::size_t size) override {
    std::size_t have = 0;
    while (have < size) {
      if (offset + have > kMaxOffset) return false;
      const ssize_t n = ::pread(fd_, out + have, size - have, static_cast<off_t>(offset + have));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw StateIoError(errno);
      }
      if (n == 0) return false;
      have += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

}  // namespace

StateSummary save_state_file(const Engine& engine, std::string_view extra,
                             const std::string& path) {
  std::uint64_t size = 0;
  Descriptor file = open_regular(path, O_WRONLY | O_CREAT | O_TRUNC, 0600, size);
  FileSink sink(file.get());
  const StateSummary summary = save_state(engine, extra, sink);
  file.close();
  return summary;
}

StateSummary load_state_file(const std::string& path, Engine& out, std::string& extra) {
  std::uint64_t size = 0;
  Descriptor file = open_regular(path, O_RDONLY, 0, size);
  FileSource source(file.get(), size);
  return load_state(source, out, extra);
}

}  // namespace ledgerly::engine
