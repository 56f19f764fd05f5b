/* make_tree.c: builds the benchmark trees: DIRS directories in groups of 100, FILES empty files
 * in each. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

/* Usage: make_tree ROOT DIRS FILES
 *   ROOT/gNNNN is a group, ROOT/gNNNN/sNN its up to 99 subdirectories: DIRS directories below
 *   ROOT in all (ROOT itself holds no file), so a watcher of the whole tree holds DIRS + 1
 *   watches. Every directory below ROOT holds FILES empty files f0, f1, ... */

static int fill(const char* dir, long files) {
  char path[4096];
  for (long f = 0; f < files; ++f) {
    if (snprintf(path, sizeof path, "%s/f%ld", dir, f) >= (int)sizeof path)
      return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      perror(path);
      return -1;
    }
    close(fd);
  }
  return 0;
}

static int makeDir(const char* path) {
  if (mkdir(path, 0755) != 0) {
    perror(path);
    return -1;
  }
  return 0;
}

int main(int argc, char* argv[]) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s ROOT DIRS FILES\n", argv[0]);
    return 2;
  }
  const char* root = argv[1];
  const long dirs = atol(argv[2]);
  const long files = atol(argv[3]);
  if (makeDir(root) != 0)
    return 1;
  char group[4096];
  char sub[4096];
  long made = 0;
  for (long g = 0; made < dirs; ++g) {
    if (snprintf(group, sizeof group, "%s/g%04ld", root, g) >= (int)sizeof group)
      return 2;
    if (makeDir(group) != 0 || fill(group, files) != 0)
      return 1;
    ++made;
    for (long s = 0; s < 99 && made < dirs; ++s, ++made) {
      if (snprintf(sub, sizeof sub, "%s/s%02ld", group, s) >= (int)sizeof sub)
        return 2;
      if (makeDir(sub) != 0 || fill(sub, files) != 0)
        return 1;
    }
  }
  return 0;
}
