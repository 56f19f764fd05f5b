/* spawn_floor.c: the least work a watcher that starts a program per completed file must do: one
 * fork() and one execv() per IN_CLOSE_WRITE, never waited for. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

/* Usage: spawn_floor DIR HANDLER. Watches DIR alone for IN_CLOSE_WRITE and runs HANDLER with
 * DIR/NAME as its one argument for each record. Runs until killed. */

enum { kBufferSize = 4113 };

int main(int argc, char* argv[]) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DIR HANDLER\n", argv[0]);
    return 2;
  }
  /* Children are never waited for: the kernel reaps them. */
  signal(SIGCHLD, SIG_IGN);
  int fd = inotify_init();
  if (fd < 0 || inotify_add_watch(fd, argv[1], IN_CLOSE_WRITE) < 0) {
    perror(argv[1]);
    return 1;
  }
  static char buffer[kBufferSize] __attribute__((aligned(8)));
  char path[4096 + 256];
  for (;;) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0)
      return 1;
    for (char* at = buffer; at < buffer + count;) {
      const struct inotify_event* event = (const struct inotify_event*)at;
      at += sizeof *event + event->len;
      if (!(event->mask & IN_CLOSE_WRITE) || event->len == 0)
        continue;
      snprintf(path, sizeof path, "%s/%s", argv[1], event->name);
      char* const childArgv[] = {argv[2], path, NULL};
      pid_t child = fork();
      if (child == 0) {
        execv(argv[2], childArgv);
        _exit(127);
      }
      if (child < 0)
        perror("fork");
    }
  }
}
