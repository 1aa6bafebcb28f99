// Test helpers: a private temporary folder with small log files, and log
// lines of the message dialect.
#ifndef LEDGERLY_TESTS_ENGINE_TEMP_FILES_H_
#define LEDGERLY_TESTS_ENGINE_TEMP_FILES_H_

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "engine/input.h"

namespace ledgerly::testing {

// Paths are UTF-8 byte strings in the engine, whatever the system's own
// encoding of file names (UTF-16 on Windows).
inline std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string utf8_of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

class TempDir {
 public:
  // A new folder of a random name; create_directory() fails on a name
  // that exists, so no other folder is ever taken over.
  TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::filesystem::path candidate = base / ("ledgerly-" + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        root_ = candidate;
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary folder");
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string path(const std::string& name) const { return utf8_of(root_ / fs_path(name)); }

  // Writes (replacing) or appends `content`; returns the file's path.
  std::string write(const std::string& name, const std::string& content) const {
    std::ofstream(fs_path(path(name)), std::ios::binary | std::ios::trunc) << content;
    return path(name);
  }
  std::string append(const std::string& name, const std::string& content) const {
    std::ofstream(fs_path(path(name)), std::ios::binary | std::ios::app) << content;
    return path(name);
  }

 private:
  std::filesystem::path root_;
};

// The identity of the file at `path` as a host would form it: device and
// inode numbers, or on Windows the volume serial number and file index;
// empty when the file cannot be looked at.
inline std::string identity_of(const std::string& path) {
#if defined(_WIN32)
  const std::wstring wide = fs_path(path).wstring();
  HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return {};
  return std::to_string(info.dwVolumeSerialNumber) + ":" +
         std::to_string((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
#else
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
#endif
}

// A manifest entry describing the file at `path` as it is now on disk
// (or as an absent file of size 0).
inline engine::Input entry_for(const std::string& path, std::uint8_t source = 0) {
  engine::Input in;
  in.path = path;
  const std::filesystem::path file = fs_path(path);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (!error) {
    in.size = size;
    in.identity = identity_of(path);
    // Only compared for equality: the clock's own count will do.
    in.mtime_ns = static_cast<std::uint64_t>(
        std::filesystem::last_write_time(file, error).time_since_epoch().count());
  }
  in.source = source;
  in.project = "proj";
  return in;
}

// A message-dialect line that yields one row whose key is `key`.
inline std::string row_line(const std::string& key) {
  return R"({"type":"assistant","timestamp":"2025-03-01T10:00:00Z","message":{"id":")" + key +
         R"(","model":"alpha-4","usage":{"input_tokens":3,"output_tokens":5}}})"
         "\n";
}

// A line that passes the message-dialect prefilter but does not decode:
// each one bumps the file's `malformed` count by exactly 1.
inline std::string broken_line() { return "{\"usage\":\n"; }

}  // namespace ledgerly::testing

#endif  // LEDGERLY_TESTS_ENGINE_TEMP_FILES_H_
