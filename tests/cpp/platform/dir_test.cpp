// The platform's folders: what a listing yields, what the folder says of
// each entry against what a status call finds, identities shared by hard
// links, names beyond ASCII and UTF-8, and the errors of failures.
#include "platform/dir.h"

#include <errno.h>
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../engine/temp_files.h"

namespace ledgerly::platform {
namespace {

using ledgerly::testing::fs_path;
using ledgerly::testing::TempDir;

std::map<std::string, EntryType> entries_of(const std::string& path) {
  Directory dir;
  EXPECT_EQ(dir.open(path), 0);
  std::map<std::string, EntryType> out;
  for (;;) {
    DirEntry entry;
    bool done = false;
    EXPECT_EQ(dir.next(entry, done), 0);
    if (done) break;
    EXPECT_TRUE(out.emplace(entry.name, entry.type).second) << entry.name;
  }
  return out;
}

TEST(Directory, ListsEveryEntryOnceWithWhatTheFolderSaysOfIt) {
  TempDir dir;
  dir.write("a.jsonl", "12345");
  dir.write("caf\xc3\xa9.jsonl", "");
  ASSERT_TRUE(std::filesystem::create_directory(fs_path(dir.path("sub"))));
  dir.write("sub/inner.jsonl", "x");
  const auto found = entries_of(dir.path(""));
  ASSERT_EQ(found.size(), 3u);
  for (const auto& [name, type] : found) {
    // Where the folder does not say, status() does; where it says, the two agree.
    Directory folder;
    ASSERT_EQ(folder.open(dir.path("")), 0);
    FileStatus st;
    ASSERT_EQ(folder.status(name, false, st), 0) << name;
    const bool is_dir = st.kind == FileKind::kDirectory;
    EXPECT_EQ(name == "sub", is_dir);
    if (type != EntryType::kUnknown) {
      EXPECT_EQ(type == EntryType::kDirectory, is_dir) << name;
    }
  }
  EXPECT_TRUE(found.count("caf\xc3\xa9.jsonl"));
  EXPECT_TRUE(entries_of(dir.path("sub")).count("inner.jsonl"));
}

TEST(Directory, StatusGivesSizeTimeAndAnIdentitySharedByHardLinks) {
  TempDir dir;
  const std::string a = dir.write("a.jsonl", "0123456789");
  dir.write("b.jsonl", "01");
  std::filesystem::create_hard_link(fs_path(a), fs_path(dir.path("link.jsonl")));
  Directory folder;
  ASSERT_EQ(folder.open(dir.path("")), 0);
  FileStatus sa, sb, slink, by_path;
  ASSERT_EQ(folder.status("a.jsonl", true, sa), 0);
  ASSERT_EQ(folder.status("b.jsonl", true, sb), 0);
  ASSERT_EQ(folder.status("link.jsonl", true, slink), 0);
  ASSERT_EQ(file_status(a, true, by_path), 0);
  EXPECT_EQ(sa.kind, FileKind::kRegular);
  EXPECT_EQ(sa.size, 10u);
  EXPECT_EQ(sb.size, 2u);
  EXPECT_EQ(std::make_pair(sa.device, sa.inode), std::make_pair(slink.device, slink.inode));
  EXPECT_NE(std::make_pair(sa.device, sa.inode), std::make_pair(sb.device, sb.inode));
  EXPECT_EQ(by_path.inode, sa.inode);
  EXPECT_EQ(by_path.mtime_ns, sa.mtime_ns);
  // The modification time is the one the standard library reads (which
  // some C++ libraries, MinGW's among them, give in whole seconds).
  const auto written = std::filesystem::last_write_time(fs_path(a));
  const auto since_epoch = std::chrono::file_clock::to_sys(written).time_since_epoch();
  const auto library_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  EXPECT_LT(std::abs(sa.mtime_ns - library_ns), 1000000000) << sa.mtime_ns << " " << library_ns;
}

TEST(Directory, FailuresAreErrorNumbers) {
  TempDir dir;
  const std::string file = dir.write("plain.jsonl", "x");
  Directory folder;
  EXPECT_EQ(folder.open(dir.path("missing")), ENOENT);
  EXPECT_NE(folder.open(file), 0);  // ENOTDIR on POSIX systems; not a folder anywhere
  ASSERT_EQ(folder.open(dir.path("")), 0);
  FileStatus st;
  EXPECT_EQ(folder.status("missing.jsonl", true, st), ENOENT);
  EXPECT_EQ(file_status(dir.path("missing/below"), true, st), ENOENT);
}

#if !defined(_WIN32)
TEST(Directory, PosixNamesAreBytesAndLinksAreToldApart) {
  TempDir dir;
  const std::string target = dir.write("target.jsonl", "abc");
  ASSERT_EQ(::symlink(target.c_str(), dir.path("link.jsonl").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path("gone").c_str(), dir.path("dangling.jsonl").c_str()), 0);
  ASSERT_TRUE(std::filesystem::create_directory(fs_path(dir.path("folder"))));
  ASSERT_EQ(::symlink(dir.path("folder").c_str(), dir.path("folder-link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.path("pipe.jsonl").c_str(), 0600), 0);
  const std::string raw = "bad-\xff.jsonl";  // not UTF-8: kept as the system's bytes
  const int fd = ::open(dir.path(raw).c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);

  const auto found = entries_of(dir.path(""));
  EXPECT_TRUE(found.count(raw));
  Directory folder;
  ASSERT_EQ(folder.open(dir.path("")), 0);
  struct Case {
    const char* name;
    bool follow;
    int error;
    FileKind kind;
  };
  const Case cases[] = {
      {"link.jsonl", true, 0, FileKind::kRegular},
      {"link.jsonl", false, 0, FileKind::kOther},  // the link itself
      {"dangling.jsonl", true, ENOENT, FileKind::kOther},
      {"folder-link", true, 0, FileKind::kDirectory},
      {"pipe.jsonl", true, 0, FileKind::kNamedPipe},
  };
  for (const Case& c : cases) {
    FileStatus st;
    EXPECT_EQ(folder.status(c.name, c.follow, st), c.error) << c.name;
    if (c.error == 0) {
      EXPECT_EQ(st.kind, c.kind) << c.name;
    }
  }
  FileStatus link, plain;
  ASSERT_EQ(folder.status("link.jsonl", true, link), 0);
  ASSERT_EQ(folder.status("target.jsonl", true, plain), 0);
  EXPECT_EQ(link.inode, plain.inode);
  // The folder says a link is a link, never what it points at.
  const EntryType said = found.at("folder-link");
  EXPECT_TRUE(said == EntryType::kSymlink || said == EntryType::kUnknown);
}

TEST(Directory, AnEntryWhoseFullPathIsTooLongFailsAsACallByPathWould) {
#if defined(PATH_MAX)
  TempDir dir;
  // Nested folders until at most 257 bytes of the longest path are left.
  std::string path = dir.path("");
  const auto left = [&] { return static_cast<std::size_t>(PATH_MAX) - path.size(); };
  while (left() > 257) {
    path += "/" + std::string(std::min<std::size_t>(200, left() - 201), 'd');
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  }
  Directory folder;
  ASSERT_EQ(folder.open(path), 0);
  FileStatus st;
  // "/", the name and its NUL: a name of left() - 2 bytes fits, one more
  // byte does not (both are names short enough to be looked up relative
  // to the folder).
  EXPECT_EQ(folder.status(std::string(left() - 2, 'f'), true, st), ENOENT);
  EXPECT_EQ(folder.status(std::string(left() - 1, 'f'), true, st), ENAMETOOLONG);
#else
  GTEST_SKIP() << "no PATH_MAX on this system";
#endif
}
#endif

}  // namespace
}  // namespace ledgerly::platform
