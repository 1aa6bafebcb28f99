/* A fault injector for the test suite, loaded with LD_PRELOAD into a child
 * interpreter.  It wraps the C library's open, openat, read, pread and close
 * and disturbs only files whose path contains LEDGERLY_FAULT_MATCH; every
 * other file of the process behaves normally.  Never part of a shipped
 * build.
 *
 * Environment (each fault is off unless its variable is set):
 *   LEDGERLY_FAULT_MATCH=<text>   files whose path contains <text> are watched
 *   LEDGERLY_FAULT_EINTR=1        every other read/pread of a watched file
 *                                 fails with EINTR before doing anything
 *   LEDGERLY_FAULT_SHORT=1        reads/preads of a watched file return at
 *                                 most 1 to 7 bytes
 *   LEDGERLY_FAULT_EIO=<switch>   while the file <switch> exists, reads of a
 *                                 watched file fail with EIO at and after
 *   LEDGERLY_FAULT_EIO_AT=<n>     byte offset <n> (default 0); a read that
 *                                 starts before <n> stops at <n>
 *   LEDGERLY_FAULT_EMFILE=<switch> while <switch> exists, opening a watched
 *                                 file fails with EMFILE
 *   LEDGERLY_FAULT_STALL=<switch> while <switch> exists, opening a watched
 *                                 file waits; on the first wait the file
 *                                 "<switch>.reached" is created
 *   LEDGERLY_FAULT_ALLOC=<switch> while <switch> exists, the <k>-th call of
 *   LEDGERLY_FAULT_ALLOC_NTH=<k>  malloc, calloc or realloc for at least
 *   LEDGERLY_FAULT_ALLOC_OVER=<n> <n> bytes fails with ENOMEM (once; calls
 *                                 for fewer bytes are not counted)
 *   LEDGERLY_FAULT_LOG=<path>     at exit, one line "name count" per fault
 *                                 kind is written to <path>
 *
 * Switch files let a test end a fault while the process runs: remove the
 * file and the next call goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 65536

static _Atomic unsigned char watched[MAX_FDS];
static _Atomic unsigned char interrupted[MAX_FDS]; /* the last call failed with EINTR */
#define KINDS 6
static atomic_ulong counts[KINDS];
enum { EINTRS, SHORTS, EIOS, EMFILES, STALLS, ALLOCS };
static const char *const count_names[KINDS] = {"eintr", "short", "eio", "emfile", "stall",
                                               "alloc"};

static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_pread)(int, void *, size_t, off_t);
static int (*real_open)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_close)(int);

static void *next_symbol(const char *name) {
  void *p = dlsym(RTLD_NEXT, name);
  if (p == NULL) {
    fprintf(stderr, "fault injector: no next %s\n", name);
    abort();
  }
  return p;
}

static void resolve(void) {
  real_read = (ssize_t(*)(int, void *, size_t))next_symbol("read");
  real_pread = (ssize_t(*)(int, void *, size_t, off_t))next_symbol("pread");
  real_open = (int (*)(const char *, int, ...))next_symbol("open");
  real_openat = (int (*)(int, const char *, int, ...))next_symbol("openat");
  real_close = (int (*)(int))next_symbol("close");
}

/* Resolved up front, and again on first use in case another preloaded
 * library calls in before this one's constructor has run. */
__attribute__((constructor)) static void init(void) { resolve(); }
#define READY() \
  do {                          \
    if (real_close == NULL) resolve(); \
  } while (0)

__attribute__((destructor)) static void write_log(void) {
  const char *path = getenv("LEDGERLY_FAULT_LOG");
  if (path == NULL) return;
  FILE *f = fopen(path, "w");
  if (f == NULL) return;
  for (int i = 0; i < KINDS; ++i) fprintf(f, "%s %lu\n", count_names[i], atomic_load(&counts[i]));
  fclose(f);
}

static int flag(const char *name) {
  const char *v = getenv(name);
  return v != NULL && strcmp(v, "1") == 0;
}

/* True while the switch file named by `name` is set and exists. */
static int switched_on(const char *name) {
  const char *path = getenv(name);
  return path != NULL && access(path, F_OK) == 0;
}

static int matches(const char *path) {
  const char *match = getenv("LEDGERLY_FAULT_MATCH");
  return match != NULL && *match != '\0' && path != NULL && strstr(path, match) != NULL;
}

static int is_watched(int fd) { return fd >= 0 && fd < MAX_FDS && atomic_load(&watched[fd]); }

/* Runs before a watched open: may stall, may fail with EMFILE (returns -1). */
static int before_open(const char *path) {
  if (!matches(path)) return 0;
  if (switched_on("LEDGERLY_FAULT_STALL")) {
    atomic_fetch_add(&counts[STALLS], 1);
    char reached[4096];
    snprintf(reached, sizeof reached, "%s.reached", getenv("LEDGERLY_FAULT_STALL"));
    int fd = real_open(reached, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) real_close(fd);
    const struct timespec pause = {0, 1000000};
    while (switched_on("LEDGERLY_FAULT_STALL")) nanosleep(&pause, NULL);
  }
  if (switched_on("LEDGERLY_FAULT_EMFILE")) {
    atomic_fetch_add(&counts[EMFILES], 1);
    errno = EMFILE;
    return -1;
  }
  return 0;
}

static int after_open(const char *path, int fd) {
  if (fd >= 0 && fd < MAX_FDS) {
    atomic_store(&watched[fd], matches(path) ? 1 : 0);
    atomic_store(&interrupted[fd], 0);
  }
  return fd;
}

/* Applies the read faults to a read of `count` bytes at file offset `at`.
 * Returns -1 with errno set for an injected failure, else the number of
 * bytes the real call may transfer. */
static ssize_t plan_read(int fd, size_t count, off_t at) {
  if (flag("LEDGERLY_FAULT_EINTR")) {
    if (!atomic_exchange(&interrupted[fd], 1)) {
      atomic_fetch_add(&counts[EINTRS], 1);
      errno = EINTR;
      return -1;
    }
    atomic_store(&interrupted[fd], 0);
  }
  if (switched_on("LEDGERLY_FAULT_EIO")) {
    const char *at_text = getenv("LEDGERLY_FAULT_EIO_AT");
    off_t limit = at_text != NULL ? (off_t)strtoll(at_text, NULL, 10) : 0;
    if (at >= limit) {
      atomic_fetch_add(&counts[EIOS], 1);
      errno = EIO;
      return -1;
    }
    if ((off_t)count > limit - at) count = (size_t)(limit - at);
  }
  if (flag("LEDGERLY_FAULT_SHORT") && count > 1) {
    size_t most = 1 + (size_t)(atomic_fetch_add(&counts[SHORTS], 1) % 7);
    if (count > most) count = most;
  }
  return (ssize_t)count;
}

ssize_t read(int fd, void *buf, size_t count) {
  READY();
  if (!is_watched(fd)) return real_read(fd, buf, count);
  off_t at = lseek(fd, 0, SEEK_CUR);
  ssize_t allowed = plan_read(fd, count, at < 0 ? 0 : at);
  if (allowed < 0) return -1;
  return real_read(fd, buf, (size_t)allowed);
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
  READY();
  if (!is_watched(fd)) return real_pread(fd, buf, count, offset);
  ssize_t allowed = plan_read(fd, count, offset);
  if (allowed < 0) return -1;
  return real_pread(fd, buf, (size_t)allowed, offset);
}

ssize_t pread64(int fd, void *buf, size_t count, off_t offset) {
  return pread(fd, buf, count, offset);
}

static mode_t mode_of(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  READY();
  if (before_open(path) < 0) return -1;
  return after_open(path, real_open(path, flags, mode));
}

int open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  READY();
  if (before_open(path) < 0) return -1;
  return after_open(path, real_open(path, flags, mode));
}

int openat(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  READY();
  if (before_open(path) < 0) return -1;
  return after_open(path, real_openat(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  READY();
  if (before_open(path) < 0) return -1;
  return after_open(path, real_openat(dirfd, path, flags, mode));
}

int close(int fd) {
  READY();
  if (fd >= 0 && fd < MAX_FDS) atomic_store(&watched[fd], 0);
  return real_close(fd);
}

/* Allocation faults.  The C library's own entry points do the work, so that
 * nothing here needs dlsym (which itself allocates).  Under a sanitizer that
 * replaces malloc, these are never reached and the log shows no "alloc". */
extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static atomic_ulong large_allocations;

static int alloc_fails(size_t size) {
  const char *over = getenv("LEDGERLY_FAULT_ALLOC_OVER");
  if (over == NULL || size < (size_t)strtoull(over, NULL, 10)) return 0;
  if (!switched_on("LEDGERLY_FAULT_ALLOC")) return 0;
  const char *nth = getenv("LEDGERLY_FAULT_ALLOC_NTH");
  unsigned long k = atomic_fetch_add(&large_allocations, 1) + 1;
  if (nth == NULL || k != strtoul(nth, NULL, 10)) return 0;
  atomic_fetch_add(&counts[ALLOCS], 1);
  errno = ENOMEM;
  return 1;
}

void *malloc(size_t size) { return alloc_fails(size) ? NULL : __libc_malloc(size); }

void *calloc(size_t n, size_t size) {
  return n != 0 && size <= (size_t)-1 / n && alloc_fails(n * size) ? NULL : __libc_calloc(n, size);
}

void *realloc(void *p, size_t size) { return alloc_fails(size) ? NULL : __libc_realloc(p, size); }
