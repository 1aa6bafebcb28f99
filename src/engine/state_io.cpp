// The state file's input and output, over the platform layer's files:
// opens never block (a named pipe without a writer, a terminal), only
// regular files are read or written, and reads and writes go on after
// short counts and interruptions.
#include "engine/state_io.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/file.h"

namespace ledgerly::engine {
namespace {

// The kind of a file that is neither regular nor a directory.
const char* kind_name(platform::FileKind kind) noexcept {
  switch (kind) {
    case platform::FileKind::kNamedPipe: return "named pipe";
    case platform::FileKind::kCharacterDevice: return "character device";
    case platform::FileKind::kBlockDevice: return "block device";
    case platform::FileKind::kSocket: return "socket";
    default: return "unknown kind of file";
  }
}

// The file `opened` names, open; a failed open or a directory throws
// StateIoError, any other kind but a regular file StateFileError, naming
// `what` was given (a path, or an open file).
platform::File checked(platform::OpenResult opened, const char* what = "the path") {
  if (opened.error != 0) throw StateIoError(opened.error);
  if (opened.kind == platform::FileKind::kDirectory) throw StateIoError(EISDIR);
  if (opened.kind != platform::FileKind::kRegular) {
    throw StateFileError(std::string(what) + " is not a regular file (" + kind_name(opened.kind) +
                         ")");
  }
  return std::move(opened.file);
}

platform::File duplicate(int descriptor) {
  return checked(platform::duplicate_descriptor(descriptor), "the open file");
}

// A path holding a NUL byte would name a shorter path at the system.
void refuse_nul(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw StateIoError(EINVAL);
}

class FileSink final : public StateSink {
 public:
  explicit FileSink(platform::File& file) noexcept : file_(file) {}
  void write(const unsigned char* data, std::size_t size) override {
    const int error = file_.write_all(reinterpret_cast<const char*>(data), size);
    if (error != 0) throw StateIoError(error);
  }

 private:
  platform::File& file_;
};

// Reads in order by offset too, keeping its own position: on some systems a
// read at an offset moves the file's position, which would otherwise lose
// the place of the reads in order.
class FileSource final : public StateSource {
 public:
  FileSource(platform::File& file, std::uint64_t size) noexcept : file_(file), size_(size) {}
  std::uint64_t size() const override { return size_; }
  std::size_t read(unsigned char* out, std::size_t size) override {
    std::size_t got = 0;
    const int error = file_.read_at(position_, reinterpret_cast<char*>(out), size, got);
    if (error != 0) throw StateIoError(error);
    position_ += got;
    return got;
  }
  bool read_at(std::uint64_t offset, unsigned char* out, std::size_t size) override {
    std::size_t got = 0;
    const int error = file_.read_at(offset, reinterpret_cast<char*>(out), size, got);
    // An offset the system cannot address lies past any file's end.
    if (error == EINVAL) return false;
    if (error != 0) throw StateIoError(error);
    return got == size;
  }

 private:
  platform::File& file_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
};

StateSummary save_to(const Engine& engine, std::string_view extra, platform::File file) {
  FileSink sink(file);
  const StateSummary summary = save_state(engine, extra, sink);
  const int error = file.close();
  if (error != 0) throw StateIoError(error);
  return summary;
}

// A source over the whole of `file`, whose size is asked once.
FileSource whole(platform::File& file) {
  std::uint64_t size = 0;
  const int error = file.size(size);
  if (error != 0) throw StateIoError(error);
  return FileSource(file, size);
}

platform::File open_path(const std::string& path) {
  refuse_nul(path);
  return checked(platform::open_for_reading(path));
}

}  // namespace

StateSummary save_state_file(const Engine& engine, std::string_view extra,
                             const std::string& path) {
  refuse_nul(path);
  return save_to(engine, extra, checked(platform::create_for_writing(path)));
}

StateSummary save_state_file(const Engine& engine, std::string_view extra, int descriptor) {
  return save_to(engine, extra, duplicate(descriptor));
}

StateSummary load_state_file(const std::string& path, Engine& out, std::string& extra) {
  platform::File file = open_path(path);
  FileSource source = whole(file);
  return load_state(source, out, extra);
}

StateSummary load_state_file(int descriptor, Engine& out, std::string& extra) {
  platform::File file = duplicate(descriptor);
  FileSource source = whole(file);
  return load_state(source, out, extra);
}

StateHead read_state_head(const std::string& path) {
  platform::File file = open_path(path);
  FileSource source = whole(file);
  return read_head(source);
}

StateHead read_state_head(int descriptor) {
  platform::File file = duplicate(descriptor);
  FileSource source = whole(file);
  return read_head(source);
}

}  // namespace ledgerly::engine
