/* stamp_handler.c: a handler that appends its start time and its argument to ARGV0.stamps. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The clock is read first, so that the stamp says when the program began to run. The record
 * file is found from argv[0] alone: the daemons under comparison pass one argument and an
 * environment of their own choosing. One write per line on an O_APPEND descriptor keeps lines
 * of concurrent handlers whole. */
int main(int argc, char* argv[]) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (argc < 1 || argv[0] == NULL)
    return 2;
  char path[4096];
  if (snprintf(path, sizeof path, "%s.stamps", argv[0]) >= (int)sizeof path)
    return 2;
  char line[4200];
  int length =
      snprintf(line, sizeof line, "%lld %s\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec,
               argc > 1 ? argv[1] : "");
  if (length < 0 || length >= (int)sizeof line)
    return 2;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return 1;
  ssize_t written = write(fd, line, (size_t)length);
  close(fd);
  return written == length ? 0 : 1;
}
