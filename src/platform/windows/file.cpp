// File on Windows: CreateFileW on the UTF-16 form of the path, ReadFile
// (at an offset through OVERLAPPED), SetFilePointerEx, WriteFile,
// GetFileType and GetFileInformationByHandle for the kind, GetFileSizeEx,
// _get_osfhandle and DuplicateHandle for a descriptor's file.
#include "platform/file.h"

#include <errno.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "platform/windows/win32_error.h"

namespace ledgerly::platform {
namespace {

using windows::last_errno;

// The largest request one ReadFile or WriteFile call takes (a DWORD; kept
// below 2^31 as the C runtime does).
constexpr std::size_t kMaxChunk = 0x40000000;
constexpr std::uint64_t kMaxOffset =
    static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max());

HANDLE handle_of(void* h) noexcept { return static_cast<HANDLE>(h); }

DWORD chunk(std::size_t n) noexcept { return static_cast<DWORD>(n < kMaxChunk ? n : kMaxChunk); }

// The UTF-16 form of a UTF-8 path; 0 or EILSEQ for bytes that are not
// UTF-8 (Windows names files in UTF-16: such bytes name no file).
int wide_path(const std::string& path, std::wstring& out) {
  out.clear();
  if (path.empty()) return 0;
  if (path.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return ENAMETOOLONG;
  const int in_size = static_cast<int>(path.size());
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), in_size, nullptr, 0);
  if (n <= 0) return EILSEQ;
  out.resize(static_cast<std::size_t>(n));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), in_size, out.data(), n) !=
      n) {
    return EILSEQ;
  }
  return 0;
}

// What an open handle names.  CreateFileW opens directories only with
// FILE_FLAG_BACKUP_SEMANTICS, which the read open passes so that a folder
// is told apart from a refused file, as on POSIX systems.
int kind_of(HANDLE h, FileKind& kind) noexcept {
  SetLastError(NO_ERROR);  // FILE_TYPE_UNKNOWN with NO_ERROR: no failure
  switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION info;
      if (!GetFileInformationByHandle(h, &info)) return last_errno();
      kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::kDirectory
                                                                     : FileKind::kRegular;
      return 0;
    }
    case FILE_TYPE_CHAR: kind = FileKind::kCharacterDevice; return 0;
    case FILE_TYPE_PIPE: kind = FileKind::kNamedPipe; return 0;
    default:
      if (GetLastError() != NO_ERROR) return last_errno();
      kind = FileKind::kOther;
      return 0;
  }
}

}  // namespace

File::~File() {
  if (handle_ != nullptr) CloseHandle(handle_of(handle_));
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(handle_of(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

bool File::is_open() const noexcept { return handle_ != nullptr; }

int File::read(char* buf, std::size_t n, std::size_t& got) noexcept {
  got = 0;
  DWORD r = 0;
  if (!ReadFile(handle_of(handle_), buf, chunk(n), &r, nullptr)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : last_errno();
  }
  got = r;
  return 0;
}

int File::read_at(std::uint64_t offset, char* buf, std::size_t n, std::size_t& got) noexcept {
  got = 0;
  if (offset > kMaxOffset) return EINVAL;
  while (got < n) {
    const std::uint64_t at = offset + got;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD r = 0;
    if (!ReadFile(handle_of(handle_), buf + got, chunk(n - got), &r, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return last_errno();
    }
    if (r == 0) break;  // end of file
    got += r;
  }
  return 0;
}

int File::seek(std::uint64_t offset) noexcept {
  if (offset > kMaxOffset) return EINVAL;
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle_of(handle_), to, nullptr, FILE_BEGIN) ? 0 : last_errno();
}

int File::write_all(const char* data, std::size_t n) noexcept {
  while (n > 0) {
    DWORD w = 0;
    if (!WriteFile(handle_of(handle_), data, chunk(n), &w, nullptr)) return last_errno();
    data += w;
    n -= w;
  }
  return 0;
}

int File::size(std::uint64_t& out) noexcept {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(handle_), &size)) return last_errno();
  out = static_cast<std::uint64_t>(size.QuadPart);
  return 0;
}

int File::close() noexcept {
  void* h = std::exchange(handle_, nullptr);
  if (h != nullptr && !CloseHandle(handle_of(h))) return last_errno();
  return 0;
}

struct FileAccess {
  // Opens `path` with CreateFileW and keeps the handle only for a regular
  // file.
  static OpenResult open_regular(const std::string& path, DWORD access, DWORD share,
                                 DWORD disposition, DWORD flags) {
    OpenResult result;
    std::wstring wide;
    if ((result.error = wide_path(path, wide)) != 0) return result;
    HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      result.error = last_errno();
      // A folder refuses to be written as a file: said as POSIX says it.
      const DWORD attributes = GetFileAttributesW(wide.c_str());
      if (result.error == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result.error = EISDIR;
      }
      return result;
    }
    return adopt(h);
  }

  // The handle behind C runtime descriptor `descriptor`, duplicated.
  static OpenResult duplicate(int descriptor) {
    OpenResult result;
    const intptr_t os_handle = _get_osfhandle(descriptor);
    if (os_handle == -1 || os_handle == -2) {  // not open, or not tied to a stream
      result.error = EBADF;
      return result;
    }
    HANDLE h = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(os_handle),
                         GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      result.error = last_errno();
      return result;
    }
    return adopt(h);
  }

  // Takes `h` and keeps it only for a regular file.
  static OpenResult adopt(HANDLE h) {
    OpenResult result;
    File file;
    file.handle_ = h;
    if ((result.error = kind_of(h, result.kind)) != 0) return result;
    if (result.kind == FileKind::kRegular) result.file = std::move(file);
    return result;
  }
};

OpenResult open_for_reading(const std::string& path) {
  // Sharing everything lets the agents go on appending to, renaming and
  // removing a log while it is read, as on POSIX systems.
  return FileAccess::open_regular(path, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

OpenResult create_for_writing(const std::string& path) {
  return FileAccess::open_regular(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
}

OpenResult duplicate_descriptor(int descriptor) { return FileAccess::duplicate(descriptor); }

}  // namespace ledgerly::platform
