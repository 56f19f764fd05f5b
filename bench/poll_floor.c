/* poll_floor.c: the least work one poll scan of a tree must do: read every directory with
 * getdents64 and stat every regular file (the type taken from d_type), nothing remembered. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Usage: poll_floor DIR PASSES. Reads the tree PASSES times and prints the milliseconds each
 * pass took, one a line. */

static long files;

static void scan(int fd) {
  char buffer[32768];
  for (;;) {
    const ssize_t count = getdents64(fd, buffer, sizeof buffer);
    if (count <= 0)
      break;
    for (ssize_t offset = 0; offset < count;) {
      const struct dirent64* entry = (const struct dirent64*)(buffer + offset);
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
        continue;
      if (entry->d_type == DT_DIR) {
        const int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) {
          scan(child);
          close(child);
        }
      } else if (entry->d_type == DT_REG) {
        struct stat info;
        if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0)
          ++files;
      }
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: poll_floor DIR PASSES\n");
    return 2;
  }
  const int passes = atoi(argv[2]);
  for (int pass = 0; pass < passes; ++pass) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const int fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      perror(argv[1]);
      return 1;
    }
    files = 0;
    scan(fd);
    close(fd);
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%.1f\n", (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6);
    fflush(stdout);
  }
  return 0;
}
