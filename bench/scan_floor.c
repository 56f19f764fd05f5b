/* scan_floor.c: the least work a recursive watcher must do at start: readdir, one stat per
 * entry (or, with -d, only per entry whose type readdir does not tell), one inotify_add_watch
 * per directory, and then wait on the descriptor. */
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

/* Usage: scan_floor [-d] DIR. Watches DIR and every directory below it (links followed, as the
 * daemon does) with the daemon's mask, prints the number of watches, then reads and drops
 * records until it is killed. Without -d every entry is stat'ed; with -d the type comes from
 * d_type, and only DT_UNKNOWN and DT_LNK entries are stat'ed. */

enum { kMask = 4046, kBufferSize = 4113 };

static int inotifyFd;
static long watches;
static int typeFromReaddir; /* -d */

/* `path` holds `length` bytes and has room up to PATH_MAX; it is extended in place. */
static int scan(char* path, size_t length) {
  if (inotify_add_watch(inotifyFd, path, kMask) < 0) {
    perror(path);
    return -1;
  }
  ++watches;
  DIR* dir = opendir(path);
  if (dir == NULL)
    return 0;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    if (typeFromReaddir && entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) {
      if (entry->d_type != DT_DIR)
        continue;
    } else {
      struct stat info;
      if (fstatat(dirfd(dir), name, &info, 0) != 0 || !S_ISDIR(info.st_mode))
        continue;
    }
    size_t nameLength = strlen(name);
    if (length + 1 + nameLength >= PATH_MAX)
      continue;
    path[length] = '/';
    memcpy(path + length + 1, name, nameLength + 1);
    int failed = scan(path, length + 1 + nameLength);
    path[length] = '\0';
    if (failed) {
      closedir(dir);
      return -1;
    }
  }
  closedir(dir);
  return 0;
}

int main(int argc, char* argv[]) {
  typeFromReaddir = argc == 3 && strcmp(argv[1], "-d") == 0;
  const char* root = argv[argc - 1];
  if (argc != 2 + typeFromReaddir || strlen(root) >= PATH_MAX) {
    fprintf(stderr, "usage: %s [-d] DIR\n", argv[0]);
    return 2;
  }
  inotifyFd = inotify_init();
  if (inotifyFd < 0) {
    perror("inotify_init");
    return 1;
  }
  char path[PATH_MAX];
  strcpy(path, root);
  if (scan(path, strlen(path)) != 0)
    return 1;
  printf("%ld\n", watches);
  fflush(stdout);
  static char buffer[kBufferSize] __attribute__((aligned(8)));
  for (;;) {
    if (read(inotifyFd, buffer, sizeof buffer) < 0)
      return 1;
  }
}
