// The platform's files: what an open for reading lets through, reads in
// sequence and at offsets, private files written and read back, names
// beyond ASCII, and the error numbers of failures.
#include "platform/file.h"

#include <errno.h>
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../engine/temp_files.h"

namespace ledgerly::platform {
namespace {

using ledgerly::testing::fs_path;
using ledgerly::testing::TempDir;

std::string read_all(File& file) {
  std::string out;
  char buf[7];  // small, so that reads end inside the text
  for (;;) {
    std::size_t got = 0;
    EXPECT_EQ(file.read(buf, sizeof buf, got), 0);
    if (got == 0) return out;
    out.append(buf, got);
  }
}

TEST(File, OpenForReadingKeepsOnlyRegularFiles) {
  TempDir dir;
  const std::string log = dir.write("log.jsonl", "first line\nsecond line\n");
  const std::string sub = dir.path("sub");
  ASSERT_TRUE(std::filesystem::create_directory(fs_path(sub)));
  struct Case {
    std::string path;
    int error;
    FileKind kind;
  };
  std::vector<Case> cases = {
      {log, 0, FileKind::kRegular},
      {sub, 0, FileKind::kDirectory},
      {dir.path("missing"), ENOENT, FileKind::kOther},
      {dir.path("missing/below"), ENOENT, FileKind::kOther},
  };
#if defined(_WIN32)
  cases.push_back({"NUL", 0, FileKind::kCharacterDevice});
#else
  cases.push_back({"/dev/null", 0, FileKind::kCharacterDevice});
  // A named pipe without a writer: a blocking open would wait for one.
  const std::string fifo = dir.path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  cases.push_back({fifo, 0, FileKind::kNamedPipe});
  // A file below a regular file.
  cases.push_back({log + "/below", ENOTDIR, FileKind::kOther});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OpenResult opened = open_for_reading(c.path);
    EXPECT_EQ(opened.error, c.error);
    if (c.error == 0) {
      EXPECT_EQ(opened.kind, c.kind);
    }
    EXPECT_EQ(opened.file.is_open(), c.error == 0 && c.kind == FileKind::kRegular);
  }
}

TEST(File, ReadsInSequenceAndAtOffsets) {
  TempDir dir;
  const std::string text = "0123456789abcdefghij\nklmnop\n";
  OpenResult opened = open_for_reading(dir.write("log", text));
  ASSERT_EQ(opened.error, 0);
  File& file = opened.file;
  EXPECT_EQ(read_all(file), text);

  std::uint64_t size = 0;
  ASSERT_EQ(file.size(size), 0);
  EXPECT_EQ(size, text.size());

  struct At {
    std::uint64_t offset;
    std::size_t want;
    std::string got;
  };
  for (const At& c : {At{0, 5, "01234"}, At{10, 11, "abcdefghij\n"}, At{21, 100, "klmnop\n"},
                      At{28, 4, ""}, At{1000, 4, ""}}) {
    SCOPED_TRACE(c.offset);
    std::string buf(c.want, '\0');
    std::size_t got = 99;
    ASSERT_EQ(file.read_at(c.offset, buf.data(), c.want, got), 0);
    EXPECT_EQ(buf.substr(0, got), c.got);
  }

  // The sequence goes on wherever seek() puts it.
  for (const std::uint64_t offset : {std::uint64_t{21}, std::uint64_t{3}, std::uint64_t{28}}) {
    ASSERT_EQ(file.seek(offset), 0);
    EXPECT_EQ(read_all(file), text.substr(offset));
  }

  // Offsets no system can address.
  char byte;
  std::size_t got = 0;
  EXPECT_EQ(file.seek(~std::uint64_t{0}), EINVAL);
  EXPECT_EQ(file.read_at(std::uint64_t{1} << 63, &byte, 1, got), EINVAL);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(file.close(), 0);
  EXPECT_FALSE(file.is_open());
}

TEST(File, CreatedFilesArePrivateEmptiedAndWrittenWhole) {
  TempDir dir;
  const std::string path = dir.write("state", std::string(5000, 'x'));
#if !defined(_WIN32)
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
#endif
  // More than one write call may take on some systems.
  std::string content;
  for (int i = 0; content.size() < (3u << 20); ++i) content += "row " + std::to_string(i) + "\n";

  OpenResult created = create_for_writing(path);
  ASSERT_EQ(created.error, 0);
  ASSERT_EQ(created.kind, FileKind::kRegular);
  File& out = created.file;
  ASSERT_TRUE(out.is_open());
  ASSERT_EQ(out.write_all(content.data(), content.size()), 0);
  std::uint64_t size = 0;
  ASSERT_EQ(out.size(size), 0);
  EXPECT_EQ(size, content.size());
  ASSERT_EQ(out.close(), 0);
#if !defined(_WIN32)
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // an existing file's mode included
#endif

  OpenResult in = open_for_reading(path);
  ASSERT_EQ(in.error, 0);
  std::string back(content.size() + 1, '\0');
  std::size_t got = 0;
  ASSERT_EQ(in.file.read_at(0, back.data(), back.size(), got), 0);
  EXPECT_EQ(got, content.size());  // the longer old content is gone
  EXPECT_TRUE(back.compare(0, got, content) == 0);

  // Nothing is written where no regular file can be; a named pipe without
  // a reader is not waited on.
  const std::string sub = dir.path("sub");
  ASSERT_TRUE(std::filesystem::create_directory(fs_path(sub)));
  struct Case {
    std::string path;
    int error;
    FileKind kind;
  };
  std::vector<Case> cases = {{dir.path("missing/state"), ENOENT, FileKind::kOther},
                             {sub, EISDIR, FileKind::kOther}};
#if !defined(_WIN32)
  const std::string fifo = dir.path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  cases.push_back({fifo, ENXIO, FileKind::kOther});
  cases.push_back({"/dev/null", 0, FileKind::kCharacterDevice});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OpenResult refused = create_for_writing(c.path);
    EXPECT_EQ(refused.error, c.error);
    if (c.error == 0) {
      EXPECT_EQ(refused.kind, c.kind);
    }
    EXPECT_FALSE(refused.file.is_open());
  }
}

// Names are UTF-8: the file made under a name beyond ASCII is the one the
// system lists under that name (on Windows, its UTF-16 form).
TEST(File, NamesBeyondAsciiAreTheSystemsOwnNames) {
  TempDir dir;
  const std::string name =
      "donn\xC3\xA9"
      "es-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x93\x9D.jsonl";
  const std::string path = dir.path(name);
  OpenResult out = create_for_writing(path);
  ASSERT_EQ(out.error, 0);
  ASSERT_EQ(out.file.write_all("ok\n", 3), 0);
  ASSERT_EQ(out.file.close(), 0);

  std::vector<std::string> listed;
  for (const auto& entry : std::filesystem::directory_iterator(fs_path(dir.path(""))))
    listed.push_back(testing::utf8_of(entry.path().filename()));
  EXPECT_EQ(listed, std::vector<std::string>{name});

  OpenResult in = open_for_reading(path);
  ASSERT_EQ(in.error, 0);
  std::string buf(8, '\0');
  std::size_t got = 0;
  ASSERT_EQ(in.file.read(buf.data(), buf.size(), got), 0);
  EXPECT_EQ(buf.substr(0, got), "ok\n");
}

// Bytes that are not UTF-8 name no file on Windows, whose names are UTF-16;
// POSIX systems take any bytes.
TEST(File, NamesThatAreNotUtf8) {
  TempDir dir;
  // Joined as bytes: no path object takes them on Windows.
  const std::string path = dir.path("") + "bad-\xFF\xFE.jsonl";
#if defined(_WIN32)
  EXPECT_EQ(create_for_writing(path).error, EILSEQ);
  EXPECT_EQ(open_for_reading(path).error, EILSEQ);
#else
  OpenResult out = create_for_writing(path);
  ASSERT_EQ(out.error, 0);
  ASSERT_EQ(out.file.close(), 0);
  OpenResult in = open_for_reading(path);
  EXPECT_EQ(in.error, 0);
  EXPECT_TRUE(in.file.is_open());
#endif
}

}  // namespace
}  // namespace ledgerly::platform
