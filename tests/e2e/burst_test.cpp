// burst_test.cpp: a burst larger than the kernel's event queue loses no completion.
//
// Every fork() of the daemon is slowed down by a preloaded library, so that handler starts are
// far slower than the writer: the completions can only all be handled if the daemon reads the
// kernel's queue ahead of starting handlers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

// Three records per file (created, written, closed): 24,000 records, far beyond the kernel's
// default queue of 16,384.
constexpr int kFiles = 8000;
constexpr int kKernelQueueRecords = 16384;
constexpr int kRecordsPerFile = 3;
constexpr int kForkDelayMs = 3;

off_t sizeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

class BurstTest : public DaemonTest {
 protected:
  std::string fileName(int i) const {
    char name[32];
    snprintf(name, sizeof name, "burst-%05d", i);
    return name;
  }

  // Starts the daemon with every fork() delayed; returns once the target is watched.
  void startWithSlowForks() {
    ProcessResult launched =
        launchDaemon(withFaults({"VELLUMD_FAULT_FORK_DELAY_MS=" + std::to_string(kForkDelayMs)}),
                     {"-t", target(), "-h", handlerPath(), "-L", logPath()});
    ASSERT_EQ(launched.status, 0) << launched.err;
    ASSERT_TRUE(waitForLog("Start as daemon..."));
    ASSERT_TRUE(waitForWatches(1));
  }

  // As fast as one writer goes: create, write a few bytes, close.
  void writeBurst() {
    for (int i = 0; i < kFiles; ++i) {
      const std::string path = inTree(fileName(i));
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
      ASSERT_EQ(write(fd, "data\n", 5), 5);
      close(fd);
    }
  }
};

TEST_F(BurstTest, ABurstBeyondTheKernelQueueWithSlowHandlerStartsIsHandledCompletelyOnceEach) {
  ASSERT_NO_FATAL_FAILURE(startWithSlowForks());
  ASSERT_NO_FATAL_FAILURE(writeBurst());
  // Unless the writer outran the handler starts by more than the kernel's queue holds, this test
  // would show nothing.
  ASSERT_LT(handled().size(), static_cast<size_t>(kFiles - kKernelQueueRecords / kRecordsPerFile))
      << "the burst was not faster than the handler starts";

  // Each run records its path and a NUL byte, and every path has the same length.
  const off_t expectedBytes = static_cast<off_t>(kFiles) * (inTree(fileName(0)).size() + 1);
  const auto overflowed = [&] {
    return readWhole(logPath()).find("IN_Q_OVERFLOW") != std::string::npos;
  };
  int checks = 0;
  // Slowed down, the daemon starts a few hundred handlers a second, and an instrumented build
  // forks several times slower still: about 30 s here, and 100 s with the sanitizers.
  const std::chrono::milliseconds deadline(kFiles * 25);
  waitUntil(
      [&] {
        // The log grows to megabytes: look for an overflow only now and then.
        if (++checks % 200 == 0 && (overflowed() || !daemonAlive()))
          return true;
        return sizeOf(recordPath()) >= expectedBytes;
      },
      deadline);

  const std::string log = readWhole(logPath());
  EXPECT_EQ(log.find("IN_Q_OVERFLOW"), std::string::npos);
  EXPECT_EQ(occurrences(log, "Call handler "), static_cast<size_t>(kFiles));
  std::map<std::string, int> runsPerPath;
  for (const std::string& path : handled())
    ++runsPerPath[path];
  int missed = 0;
  int repeated = 0;
  std::string firstMissed;
  for (int i = 0; i < kFiles; ++i) {
    auto runs = runsPerPath.find(inTree(fileName(i)));
    if (runs == runsPerPath.end()) {
      if (missed++ == 0)
        firstMissed = fileName(i);
      continue;
    }
    if (runs->second > 1)
      ++repeated;
    runsPerPath.erase(runs);
  }
  EXPECT_EQ(missed, 0) << "files never handled, the first " << firstMissed;
  EXPECT_EQ(repeated, 0) << "files handled more than once";
  EXPECT_TRUE(runsPerPath.empty()) << runsPerPath.size() << " paths handled that were not written";
  EXPECT_TRUE(daemonAlive());
}

}  // namespace
}  // namespace vellumd::e2e
