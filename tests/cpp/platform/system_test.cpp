// The rest of the platform layer: error texts, random bytes, mapped memory
// and the backward byte search.
#include <errno.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <string.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/bytes.h"
#include "platform/error_messages.h"
#include "platform/error_text.h"
#include "platform/memory.h"
#include "platform/random.h"

namespace ledgerly::platform {
namespace {

// Every system words these alike.
TEST(ErrorMessage, CommonNumbersReadAlikeEverywhere) {
  struct Case {
    int code;
    const char* text;
  };
  for (const Case& c : {
           Case{ENOENT, "No such file or directory"},
           Case{EACCES, "Permission denied"},
           Case{EISDIR, "Is a directory"},
           Case{EIO, "Input/output error"},
           Case{EINVAL, "Invalid argument"},
           Case{ENOMEM, "Cannot allocate memory"},
           Case{EAGAIN, "Resource temporarily unavailable"},
           Case{EPERM, "Operation not permitted"},
           Case{ENOSPC, "No space left on device"},
       }) {
    EXPECT_EQ(error_message(c.code), c.text) << c.code;
  }
}

// The table's wording is the GNU C library's own, number for number.
TEST(ErrorMessage, TableWordsAsTheGnuCLibrary) {
#if !defined(__GLIBC__)
  GTEST_SKIP() << "compares with the GNU C library";
#else
  const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
  ASSERT_NE(c, locale_t{});
  int listed = 0;
  for (int code = 0; code < 256; ++code) {
    if (const char* text = gnu_message(code)) {
      EXPECT_STREQ(text, strerror_l(code, c)) << code;
      ++listed;
    }
  }
  freelocale(c);
  EXPECT_GE(listed, 30);
#endif
}

// Numbers no system knows get a text of the system's, or this one.
TEST(ErrorMessage, UnknownNumbersAreNamed) {
  const std::string text = error_message(123456);
#if defined(__GLIBC__) || defined(_WIN32)
  EXPECT_EQ(text, "Unknown error 123456");
#else
  EXPECT_FALSE(text.empty());
#endif
}

TEST(RandomBytes, FillsEveryByteDifferentlyEachTime) {
  EXPECT_TRUE(random_bytes(nullptr, 0));
  // Large enough for several calls of the system's source where it caps
  // one call; two draws of it are never equal, nor is any 32-byte block
  // left as it was.
  std::string a(40u << 20, '\0');
  std::string b(a.size(), '\0');
  ASSERT_TRUE(random_bytes(a.data(), a.size()));
  ASSERT_TRUE(random_bytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  const std::string zeros(32, '\0');
  for (std::size_t at = 0; at + 32 <= a.size(); at += std::size_t{1} << 20) {
    ASSERT_NE(a.compare(at, 32, zeros), 0) << at;
  }
  EXPECT_NE(a.compare(a.size() - 32, 32, zeros), 0);
}

TEST(MappedMemory, IsZeroedWritableAndKeepsItsContentUnderAdvice) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{4097}, std::size_t{9} << 20}) {
    SCOPED_TRACE(size);
    auto* p = static_cast<unsigned char*>(map_memory(size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[size / 2], 0);
    EXPECT_EQ(p[size - 1], 0);
    std::memset(p, 0xA5, size);
    advise_huge_pages(p, size);  // advice only: the content stays
    EXPECT_EQ(p[0], 0xA5);
    EXPECT_EQ(p[size / 2], 0xA5);
    EXPECT_EQ(p[size - 1], 0xA5);
    unmap_memory(p, size);
  }
}

TEST(FindLastByte, AgreesWithAPlainBackwardScan) {
  const std::string text = "\nab\ncd\n\nef";
  struct Case {
    std::size_t begin, end;
    char byte;
    std::ptrdiff_t at;  // -1: none
  };
  for (const Case& c : {Case{0, 0, '\n', -1}, Case{0, 1, '\n', 0}, Case{0, text.size(), '\n', 7},
                        Case{0, 7, '\n', 6}, Case{1, 3, '\n', -1}, Case{1, 4, '\n', 3},
                        Case{0, text.size(), 'f', 9}, Case{0, text.size(), 'z', -1},
                        Case{2, text.size(), 'a', -1}}) {
    SCOPED_TRACE(std::to_string(c.begin) + ".." + std::to_string(c.end) + " " + c.byte);
    const char* found = find_last_byte(text.data() + c.begin, c.end - c.begin, c.byte);
    if (c.at < 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      EXPECT_EQ(found, text.data() + c.at);
    }
  }
  const char* none = nullptr;
  EXPECT_EQ(find_last_byte(none, 0, '\n'), nullptr);
  const std::array<char, 3> high = {'\xFF', 'x', '\xFF'};
  EXPECT_EQ(find_last_byte(high.data(), high.size(), '\xFF'), high.data() + 2);
}

}  // namespace
}  // namespace ledgerly::platform
