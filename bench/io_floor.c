/* The I/O floor: the least work any reader of the logs must do.
 *
 *   cc -O2 -o io_floor bench/io_floor.c
 *   io_floor FILE...        read the named files
 *   io_floor -l LIST        read the files named in LIST, one path a line
 *
 * Reads every file front to back with 256 KiB read() calls on one thread,
 * counts line feeds with memchr, and prints "bytes <n> lines <n> files <n>
 * seconds <s>". Files that cannot be read are reported on stderr and make
 * the exit status 1.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kChunk = 256 * 1024 };

static char buffer[kChunk];
static unsigned long long total_bytes, total_lines, total_files;

static int read_file(const char *path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "io_floor: %s: %s\n", path, strerror(errno));
    return 1;
  }
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "io_floor: %s: %s\n", path, strerror(errno));
      close(fd);
      return 1;
    }
    if (n == 0) break;
    total_bytes += (unsigned long long)n;
    const char *p = buffer;
    const char *end = buffer + n;
    while ((p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
      ++total_lines;
      ++p;
    }
  }
  close(fd);
  ++total_files;
  return 0;
}

static int read_list(const char *list) {
  FILE *f = fopen(list, "r");
  if (f == NULL) {
    fprintf(stderr, "io_floor: %s: %s\n", list, strerror(errno));
    return 1;
  }
  int failed = 0;
  char *line = NULL;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, f)) > 0) {
    if (line[len - 1] == '\n') line[--len] = '\0';
    if (len > 0) failed |= read_file(line);
  }
  free(line);
  fclose(f);
  return failed;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: io_floor FILE... | io_floor -l LIST\n");
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int failed = 0;
  if (strcmp(argv[1], "-l") == 0) {
    if (argc != 3) {
      fprintf(stderr, "usage: io_floor -l LIST\n");
      return 2;
    }
    failed = read_list(argv[2]);
  } else {
    for (int i = 1; i < argc; ++i) failed |= read_file(argv[i]);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double seconds = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  printf("bytes %llu lines %llu files %llu seconds %.6f\n", total_bytes, total_lines, total_files, seconds);
  return failed;
}
