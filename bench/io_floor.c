/* The I/O floor: the least work any reader of the logs must do.
 *
 *   cc -O2 -pthread -o io_floor bench/io_floor.c
 *   io_floor [-t THREADS] FILE...     read the named files
 *   io_floor [-t THREADS] -l LIST     read the files named in LIST, one path a line
 *
 * Reads every file front to back with 256 KiB read() calls, counts line
 * feeds with memchr, and prints "bytes <n> lines <n> files <n> seconds <s>
 * cpu <s>" (wall-clock time, then the CPU time of all threads).
 * With -t N (default 1), N threads share the files: each takes the next
 * unread file from a common counter, in list order, so the work splits the
 * way the engine's workers split it.  Only the reading is timed, not the
 * loading of the list.  Files that cannot be read are reported on stderr and
 * make the exit status 1.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kChunk = 256 * 1024, kMaxThreads = 64 };

struct totals {
  unsigned long long bytes, lines, files;
  int failed;
};

static char **paths;
static size_t path_count;
static atomic_size_t next_path;

static void read_file(const char *path, char *buffer, struct totals *t) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "io_floor: %s: %s\n", path, strerror(errno));
    t->failed = 1;
    return;
  }
  for (;;) {
    ssize_t n = read(fd, buffer, kChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "io_floor: %s: %s\n", path, strerror(errno));
      t->failed = 1;
      break;
    }
    if (n == 0) {
      ++t->files;
      break;
    }
    t->bytes += (unsigned long long)n;
    const char *p = buffer;
    const char *end = buffer + n;
    while ((p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
      ++t->lines;
      ++p;
    }
  }
  close(fd);
}

static void *reader(void *arg) {
  struct totals *t = arg;
  char *buffer = malloc(kChunk);
  if (buffer == NULL) {
    fprintf(stderr, "io_floor: out of memory\n");
    t->failed = 1;
    return NULL;
  }
  for (;;) {
    size_t i = atomic_fetch_add(&next_path, 1);
    if (i >= path_count) break;
    read_file(paths[i], buffer, t);
  }
  free(buffer);
  return NULL;
}

static int add_path(char *path) {
  static size_t cap;
  if (path_count == cap) {
    cap = cap ? cap * 2 : 1024;
    char **grown = realloc(paths, cap * sizeof *paths);
    if (grown == NULL) return 1;
    paths = grown;
  }
  paths[path_count++] = path;
  return 0;
}

static int load_list(const char *list) {
  FILE *f = fopen(list, "r");
  if (f == NULL) {
    fprintf(stderr, "io_floor: %s: %s\n", list, strerror(errno));
    return 1;
  }
  char *line = NULL;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, f)) > 0) {
    if (line[len - 1] == '\n') line[--len] = '\0';
    if (len == 0) continue;
    char *copy = strdup(line);
    if (copy == NULL || add_path(copy) != 0) {
      fprintf(stderr, "io_floor: out of memory\n");
      fclose(f);
      return 1;
    }
  }
  free(line);
  fclose(f);
  return 0;
}

static int usage(void) {
  fprintf(stderr, "usage: io_floor [-t THREADS] FILE... | io_floor [-t THREADS] -l LIST\n");
  return 2;
}

int main(int argc, char **argv) {
  int arg = 1;
  long threads = 1;
  if (arg + 1 < argc && strcmp(argv[arg], "-t") == 0) {
    char *end;
    threads = strtol(argv[arg + 1], &end, 10);
    if (*end != '\0' || threads < 1 || threads > kMaxThreads) return usage();
    arg += 2;
  }
  if (arg >= argc) return usage();
  if (strcmp(argv[arg], "-l") == 0) {
    if (argc != arg + 2) return usage();
    if (load_list(argv[arg + 1]) != 0) return 1;
  } else {
    for (; arg < argc; ++arg) {
      if (add_path(argv[arg]) != 0) {
        fprintf(stderr, "io_floor: out of memory\n");
        return 1;
      }
    }
  }

  struct totals per_thread[kMaxThreads];
  pthread_t ids[kMaxThreads];
  memset(per_thread, 0, sizeof per_thread);
  struct timespec t0, t1, c0, c1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
  clock_gettime(CLOCK_MONOTONIC, &t0);
  long started = 0;
  for (; started < threads; ++started) {
    if (pthread_create(&ids[started], NULL, reader, &per_thread[started]) != 0) break;
  }
  if (started == 0) reader(&per_thread[0]);
  for (long i = 0; i < started; ++i) pthread_join(ids[i], NULL);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);

  struct totals sum = {0, 0, 0, 0};
  for (long i = 0; i < threads; ++i) {
    sum.bytes += per_thread[i].bytes;
    sum.lines += per_thread[i].lines;
    sum.files += per_thread[i].files;
    sum.failed |= per_thread[i].failed;
  }
  double seconds = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  double cpu = (double)(c1.tv_sec - c0.tv_sec) + (double)(c1.tv_nsec - c0.tv_nsec) / 1e9;
  printf("bytes %llu lines %llu files %llu seconds %.6f cpu %.6f\n", sum.bytes, sum.lines, sum.files, seconds,
         cpu);
  return sum.failed;
}
