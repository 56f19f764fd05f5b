/* burst_floor.c: the least work a reader of a burst must do: read the records and count the
 * completions, nothing else. */
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Usage: burst_floor DIR STATS. Watches DIR and the directories below it with the daemon's mask
 * (so the kernel queues the same records as for the daemon), then reads with the daemon's
 * buffer size until killed. The counters live in STATS, a shared mapping that the bench reads
 * while this runs, so that publishing them costs no system call. */

enum { kMask = 4046, kBufferSize = 4113 };

struct Stats {
  volatile uint64_t closes;    /* IN_CLOSE_WRITE records read */
  volatile uint64_t overflows; /* IN_Q_OVERFLOW records read */
  volatile uint64_t lastNs;    /* CLOCK_REALTIME of the read that held the last close */
  volatile uint64_t reads;     /* read() calls that returned records */
};

static int watchTree(int fd, char* path, size_t length) {
  if (inotify_add_watch(fd, path, kMask) < 0) {
    perror(path);
    return -1;
  }
  DIR* dir = opendir(path);
  if (dir == NULL)
    return 0;
  struct dirent* entry;
  int failed = 0;
  while (!failed && (entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (entry->d_type != DT_DIR || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
      continue;
    size_t nameLength = strlen(name);
    if (length + 1 + nameLength >= PATH_MAX)
      continue;
    path[length] = '/';
    memcpy(path + length + 1, name, nameLength + 1);
    failed = watchTree(fd, path, length + 1 + nameLength);
    path[length] = '\0';
  }
  closedir(dir);
  return failed;
}

int main(int argc, char* argv[]) {
  if (argc != 3 || strlen(argv[1]) >= PATH_MAX) {
    fprintf(stderr, "usage: %s DIR STATS\n", argv[0]);
    return 2;
  }
  int statsFd = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (statsFd < 0 || ftruncate(statsFd, 4096) != 0) {
    perror(argv[2]);
    return 1;
  }
  struct Stats* stats = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, statsFd, 0);
  if (stats == MAP_FAILED) {
    perror("mmap");
    return 1;
  }
  int fd = inotify_init();
  if (fd < 0) {
    perror("inotify_init");
    return 1;
  }
  char path[PATH_MAX];
  strcpy(path, argv[1]);
  if (watchTree(fd, path, strlen(path)) != 0)
    return 1;

  static char buffer[kBufferSize] __attribute__((aligned(8)));
  for (;;) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0)
      return 1;
    uint64_t closes = 0;
    for (char* at = buffer; at < buffer + count;) {
      const struct inotify_event* event = (const struct inotify_event*)at;
      if (event->mask & IN_CLOSE_WRITE)
        ++closes;
      if (event->mask & IN_Q_OVERFLOW)
        stats->overflows = stats->overflows + 1;
      at += sizeof *event + event->len;
    }
    stats->reads = stats->reads + 1;
    if (closes > 0) {
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      stats->lastNs = (uint64_t)now.tv_sec * 1000000000ULL + (uint64_t)now.tv_nsec;
      stats->closes = stats->closes + closes;
    }
  }
}
