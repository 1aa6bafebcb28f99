// Test helpers: a private temporary folder with small log files, and log
// lines of the message dialect.
#ifndef LEDGERLY_TESTS_ENGINE_TEMP_FILES_H_
#define LEDGERLY_TESTS_ENGINE_TEMP_FILES_H_

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/input.h"

namespace ledgerly::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ledgerly-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string path(const std::string& name) const { return (root_ / name).string(); }

  // Writes (replacing) or appends `content`; returns the file's path.
  std::string write(const std::string& name, const std::string& content) const {
    std::ofstream(path(name), std::ios::binary | std::ios::trunc) << content;
    return path(name);
  }
  std::string append(const std::string& name, const std::string& content) const {
    std::ofstream(path(name), std::ios::binary | std::ios::app) << content;
    return path(name);
  }

 private:
  std::filesystem::path root_;
};

// A manifest entry describing the file at `path` as it is now on disk
// (or as an absent file of size 0).
inline engine::Input entry_for(const std::string& path, std::uint8_t source = 0) {
  engine::Input in;
  in.path = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    in.size = static_cast<std::uint64_t>(st.st_size);
    in.identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    in.mtime_ns = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                  static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
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
