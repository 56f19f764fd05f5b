/* file_writer.c: writes N files of 1 KiB, as fast as it can or at a set rate, and records the
 * time just before each close. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Usage: file_writer DIR COUNT SPREAD RATE TIMES
 *   SPREAD 0 writes DIR/wNNNNNN; SPREAD k > 0 writes DIR/dKK/wNNNNNN round-robin over k
 *   directories that must already exist (a watcher started before the burst has watched them).
 *   RATE 0 writes as fast as possible; otherwise RATE files a second on an absolute schedule.
 *   TIMES receives "CLOSE_NS PATH" per file, written after the last file so that recording
 *   costs the burst nothing. Prints "START_NS END_NS" on standard output. */

static long long nowNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

int main(int argc, char* argv[]) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s DIR COUNT SPREAD RATE TIMES\n", argv[0]);
    return 2;
  }
  const char* dir = argv[1];
  const long count = atol(argv[2]);
  const long spread = atol(argv[3]);
  const double rate = atof(argv[4]);
  if (count <= 0 || spread < 0 || rate < 0)
    return 2;
  long long* closes = malloc(sizeof(long long) * (size_t)count);
  char(*paths)[256] = malloc(256 * (size_t)count);
  if (closes == NULL || paths == NULL)
    return 1;
  char block[1024];
  memset(block, 'x', sizeof block);
  block[sizeof block - 1] = '\n';

  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  const long long start = nowNs();
  for (long i = 0; i < count; ++i) {
    if (rate > 0) {
      /* A pacing schedule, not a wait for an outcome: file i is due at start + i / RATE. */
      long long due = (long long)((double)i * 1e9 / rate);
      struct timespec at = next;
      at.tv_sec += due / 1000000000LL;
      at.tv_nsec += due % 1000000000LL;
      if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
      }
    }
    if (spread > 0) {
      snprintf(paths[i], sizeof paths[i], "%s/d%02ld/w%06ld", dir, i % spread, i);
    } else {
      snprintf(paths[i], sizeof paths[i], "%s/w%06ld", dir, i);
    }
    int fd = open(paths[i], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      perror(paths[i]);
      return 1;
    }
    if (write(fd, block, sizeof block) != (ssize_t)sizeof block) {
      perror("write");
      return 1;
    }
    closes[i] = nowNs();
    close(fd);
  }
  const long long end = nowNs();

  FILE* times = fopen(argv[5], "w");
  if (times == NULL) {
    perror(argv[5]);
    return 1;
  }
  for (long i = 0; i < count; ++i)
    fprintf(times, "%lld %s\n", closes[i], paths[i]);
  fclose(times);
  printf("%lld %lld\n", start, end);
  free(closes);
  free(paths);
  return 0;
}
