// Which of the system's own fast paths this build uses.
//
// Every fast path below is specific to one system (Linux or its C
// libraries) and has a portable implementation next to it in the same
// source file, which every other system uses.  Defining LEDGERLY_PORTABLE
// (CMake: -DLEDGERLY_PORTABLE=ON) turns every fast path off, so that the
// portable implementations are built and tested on Linux too.  Outputs are
// the same either way; only speed and memory use differ.
#ifndef LEDGERLY_PLATFORM_CONFIG_H_
#define LEDGERLY_PLATFORM_CONFIG_H_

#include <stdlib.h>  // defines __GLIBC__ where it applies

#if defined(__linux__) && !defined(LEDGERLY_PORTABLE)
// getrandom(2) for hash seeds, before falling back to /dev/urandom
// (glibc 2.25 and musl 1.1.20 declare it in <sys/random.h>).
#if __has_include(<sys/random.h>)
#define LEDGERLY_HAVE_GETRANDOM 1
#endif
// memrchr(3) for the reader's backward search for a line feed.
#define LEDGERLY_HAVE_MEMRCHR 1
// madvise(MADV_HUGEPAGE) for the export's row buffer.
#define LEDGERLY_HAVE_HUGE_PAGE_ADVICE 1
#endif

#if defined(__GLIBC__) && !defined(LEDGERLY_PORTABLE)
// malloc_trim(3): hands the heap's free pages back to the system.
#define LEDGERLY_HAVE_MALLOC_TRIM 1
// The GNU C library's own error texts through strerror_l(3) with a C
// locale object, instead of a table of its wording and the thread's locale
// switched around strerror_r(3) for other numbers.
#define LEDGERLY_HAVE_STRERROR_L 1
#endif

#endif  // LEDGERLY_PLATFORM_CONFIG_H_
