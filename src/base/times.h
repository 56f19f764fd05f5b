// times.h: the few operations the daemon needs on wall-clock times (struct timespec), the
// clock that file systems stamp changes with.
#pragma once

#include <time.h>

namespace vellumd {

inline constexpr long kNanosecondsPerSecond = 1'000'000'000;

inline timespec wallClockNow() {
  timespec time;
  clock_gettime(CLOCK_REALTIME, &time);
  return time;
}
inline bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}
inline bool same(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}
// `time` less `nanoseconds`.
inline timespec earlier(timespec time, long nanoseconds) {
  time.tv_sec -= nanoseconds / kNanosecondsPerSecond;
  time.tv_nsec -= nanoseconds % kNanosecondsPerSecond;
  if (time.tv_nsec < 0) {
    time.tv_nsec += kNanosecondsPerSecond;
    --time.tv_sec;
  }
  return time;
}

}  // namespace vellumd
