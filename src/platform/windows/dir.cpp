// Directory on Windows: FindFirstFileExW and FindNextFileW on "<folder>\*"
// (basic information, large fetches) for the entries; CreateFileW and
// GetFileInformationByHandle for the status: size, last write time, and
// the volume serial number and file index as identity.
#include "platform/dir.h"

#include <errno.h>
#include <windows.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "platform/windows/win32_error.h"

namespace ledgerly::platform {
namespace {

using windows::last_errno;

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochOffset = 116444736000000000;

WIN32_FIND_DATAW* data_of(void* d) noexcept { return static_cast<WIN32_FIND_DATAW*>(d); }

int wide_path(const std::string& path, std::wstring& out) {
  out.clear();
  if (path.empty()) return ENOENT;
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

void push_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A UTF-16 name in generalized UTF-8: pairs joined, lone surrogates kept.
void narrow_name(const wchar_t* name, std::string& out) {
  out.clear();
  for (const wchar_t* p = name; *p != 0; ++p) {
    std::uint32_t unit = static_cast<std::uint16_t>(*p);
    if (unit >= 0xD800 && unit < 0xDC00) {
      const std::uint32_t low = static_cast<std::uint16_t>(p[1]);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        ++p;
      }
    }
    push_utf8(out, unit);
  }
}

EntryType type_of(const WIN32_FIND_DATAW& data) noexcept {
  // Only a symbolic link is a link here: a junction is a folder, as the
  // system's own listing calls it.
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      data.dwReserved0 == IO_REPARSE_TAG_SYMLINK) {
    return EntryType::kSymlink;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryType::kDirectory;
  return EntryType::kOther;
}

bool is_dot(const wchar_t* name) noexcept {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool ends_in_separator(const std::string& path) noexcept {
  return !path.empty() && (path.back() == '\\' || path.back() == '/' || path.back() == ':');
}

}  // namespace

Directory::~Directory() { close(); }

Directory::Directory(Directory&& other) noexcept
    : path_(std::move(other.path_)),
      find_(std::exchange(other.find_, nullptr)),
      pending_(std::exchange(other.pending_, false)),
      data_(std::exchange(other.data_, nullptr)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    find_ = std::exchange(other.find_, nullptr);
    pending_ = std::exchange(other.pending_, false);
    data_ = std::exchange(other.data_, nullptr);
  }
  return *this;
}

void Directory::close() noexcept {
  if (find_ != nullptr) FindClose(static_cast<HANDLE>(std::exchange(find_, nullptr)));
  delete data_of(std::exchange(data_, nullptr));
  pending_ = false;
}

int Directory::open(const std::string& path) {
  close();
  std::wstring pattern;
  if (const int error = wide_path(path, pattern)) return error;
  if (!ends_in_separator(path)) pattern.push_back(L'\\');
  pattern.push_back(L'*');
  auto* data = new WIN32_FIND_DATAW();
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, data, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    delete data;
    if (code != ERROR_FILE_NOT_FOUND) return windows::errno_of(code);
    // Nothing matched: a folder without even "." (a drive's root may be so).
    path_ = path;
    return 0;
  }
  find_ = find;
  data_ = data;
  pending_ = true;
  path_ = path;
  return 0;
}

int Directory::next(DirEntry& entry, bool& done) {
  done = false;
  for (;;) {
    if (find_ == nullptr) {
      done = true;
      return 0;
    }
    WIN32_FIND_DATAW* data = data_of(data_);
    if (!pending_ && !FindNextFileW(static_cast<HANDLE>(find_), data)) {
      const DWORD code = GetLastError();
      if (code == ERROR_NO_MORE_FILES) {
        done = true;
        return 0;
      }
      return windows::errno_of(code);
    }
    pending_ = false;
    if (is_dot(data->cFileName)) continue;
    narrow_name(data->cFileName, entry.name);
    entry.type = type_of(*data);
    return 0;
  }
}

int Directory::status(const std::string& name, bool follow, FileStatus& out) const {
  std::string full = path_;
  if (!ends_in_separator(full)) full.push_back('\\');
  full += name;
  return file_status(full, follow, out);
}

int file_status(const std::string& path, bool follow, FileStatus& out) {
  std::wstring wide;
  if (const int error = wide_path(path, wide)) return error;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  int error = 0;
  out = FileStatus();
  SetLastError(NO_ERROR);
  switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION info;
      if (!GetFileInformationByHandle(h, &info)) {
        error = last_errno();
        break;
      }
      out.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::kDirectory
                                                                         : FileKind::kRegular;
      out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
      const std::int64_t ticks = static_cast<std::int64_t>(
          (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
          info.ftLastWriteTime.dwLowDateTime);
      out.mtime_ns = (ticks - kEpochOffset) * 100;
      out.device = info.dwVolumeSerialNumber;
      out.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
      break;
    }
    case FILE_TYPE_CHAR: out.kind = FileKind::kCharacterDevice; break;
    case FILE_TYPE_PIPE: out.kind = FileKind::kNamedPipe; break;
    default:
      if (GetLastError() != NO_ERROR) error = last_errno();
      break;
  }
  CloseHandle(h);
  return error;
}

}  // namespace ledgerly::platform
