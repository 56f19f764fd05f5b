/* count_overflows.c: a preload library that counts the IN_Q_OVERFLOW records a program reads
 * from its inotify descriptors, for watchers that read them and say nothing (inotifywait).
 *
 * Usage: LD_PRELOAD=bench_count_overflows.so BENCH_OVERFLOW_LOG=FILE PROGRAM ...
 * One byte is appended to FILE for every IN_Q_OVERFLOW record read; FILE is not created while
 * there is none. Every other read costs one comparison, and a read of records one pass over
 * their headers. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

enum { kMaxDescriptors = 8 };

static int inotifyFds[kMaxDescriptors];
static int inotifyFdCount;

static int noteDescriptor(int fd) {
  if (fd >= 0 && inotifyFdCount < kMaxDescriptors)
    inotifyFds[inotifyFdCount++] = fd;
  return fd;
}

int inotify_init(void) {
  static int (*next)(void);
  if (next == NULL)
    next = (int (*)(void))dlsym(RTLD_NEXT, "inotify_init");
  return noteDescriptor(next());
}

int inotify_init1(int flags) {
  static int (*next)(int);
  if (next == NULL)
    next = (int (*)(int))dlsym(RTLD_NEXT, "inotify_init1");
  return noteDescriptor(next(flags));
}

static void noteOverflows(const char* records, ssize_t length) {
  long overflows = 0;
  for (const char* at = records; at + (ssize_t)sizeof(struct inotify_event) <= records + length;) {
    const struct inotify_event* event = (const struct inotify_event*)at;
    if (event->mask & IN_Q_OVERFLOW)
      ++overflows;
    at += sizeof *event + event->len;
  }
  const char* path = overflows > 0 ? getenv("BENCH_OVERFLOW_LOG") : NULL;
  if (path == NULL)
    return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  for (; overflows > 0; --overflows) {
    if (write(fd, "o", 1) != 1)
      break;
  }
  close(fd);
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ssize_t (*next)(int, void*, size_t);
  if (next == NULL)
    next = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  ssize_t count = next(fd, buffer, size);
  for (int i = 0; i < inotifyFdCount; ++i) {
    if (inotifyFds[i] == fd) {
      if (count > 0)
        noteOverflows(buffer, count);
      break;
    }
  }
  return count;
}
