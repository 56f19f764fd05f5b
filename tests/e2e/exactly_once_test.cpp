// exactly_once_test.cpp: names excluded by pattern, and a daemon killed in the middle of a burst
// that catches up from its state file when it starts again.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

class ExactlyOnceTest : public DaemonTest {
 protected:
  std::string statePath() const { return root() + "/state"; }
  std::vector<std::string> withState() const {
    return {"-t", target(), "-h", handlerPath(), "-L", logPath(), "--state", statePath()};
  }
  void writeBatch(const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i)
      putFile(inTree(prefix + std::to_string(i)), prefix);
  }
  std::map<std::string, int> runsPerPath() const {
    std::map<std::string, int> runs;
    for (const std::string& path : handled())
      ++runs[path];
    return runs;
  }
};

TEST_F(ExactlyOnceTest, ExcludedNamesAreNeverHandedOverAndExcludedDirectoriesNeverWatched) {
  makeDir("tmp.1");
  startDaemon(
      1, {"-t", target(), "-h", handlerPath(), "-L", logPath(), "-x", "*.part", "-x", "tmp.*"});
  writeFile("upload.part", "x");
  ASSERT_EQ(rename(inTree("upload.part").c_str(), inTree("upload").c_str()), 0);
  makeDir("tmp.2/inner");
  writeFile("tmp.1/f", "x");
  // A directory renamed to an excluded name is no longer watched; one renamed away from it is
  // from then on, like any directory moved in.
  makeDir("d");
  ASSERT_TRUE(waitForWatches(2));
  ASSERT_EQ(rename(inTree("d").c_str(), inTree("d.part").c_str()), 0);
  ASSERT_TRUE(waitForWatches(1));
  writeFile("d.part/f", "x");
  ASSERT_EQ(rename(inTree("tmp.1").c_str(), inTree("kept").c_str()), 0);
  ASSERT_TRUE(waitForWatches(2));
  writeFile("kept/g", "x");
  settle();
  std::vector<std::string> runs = handled();  // handlers run side by side: in any order
  std::sort(runs.begin(), runs.end());
  EXPECT_EQ(runs, (std::vector<std::string>{inTree("kept"), inTree("kept/g"), inTree("settle-1"),
                                            inTree("upload")}));
  EXPECT_EQ(watchCount(), 2);
  EXPECT_TRUE(logContains("Inotify event for 1(cookie:0) - upload.part in " + target() +
                          " - IN_CLOSE_WRITE"));
}

TEST_F(ExactlyOnceTest, AKilledDaemonCatchesUpFromItsStateWithoutRunningOldFilesAgain) {
  startDaemon(1, withState());
  writeBatch("before-", 50);
  ASSERT_TRUE(waitForHandled(50));
  // Saved at least once after those runs started.
  const auto savedAfter = fs::file_time_type::clock::now();
  ASSERT_TRUE(waitUntil([&] {
    std::error_code missing;
    return fs::last_write_time(statePath(), missing) > savedAfter && !missing;
  }));
  std::thread burst([this] { writeBatch("during-", 300); });
  ASSERT_TRUE(waitUntil([&] { return handled().size() > 60; }));
  ASSERT_EQ(kill(pid(), SIGKILL), 0);
  burst.join();
  ASSERT_TRUE(waitForExit());
  writeBatch("down-", 20);
  makeDir("new/sub");
  putFile(inTree("new/sub/f"), "made while the daemon was down");
  startDaemon(3, withState());
  writeBatch("after-", 20);
  // The killed daemon's calls that never started make the harness's settle() useless: wait for
  // every file instead.
  std::vector<std::string> expected = {inTree("new/sub/f")};
  for (const auto& [prefix, count] :
       std::map<std::string, int>{{"before-", 50}, {"during-", 300}, {"down-", 20}, {"after-", 20}})
    for (int i = 0; i < count; ++i)
      expected.push_back(inTree(prefix + std::to_string(i)));
  const auto unhandled = [&] {
    const std::map<std::string, int> runs = runsPerPath();
    return std::count_if(expected.begin(), expected.end(),
                         [&](const std::string& path) { return !runs.contains(path); });
  };
  EXPECT_TRUE(waitUntil([&] { return unhandled() == 0; })) << unhandled() << " never handled";
  const std::map<std::string, int> runs = runsPerPath();
  for (int i = 0; i < 50; ++i) {
    const std::string path = inTree("before-" + std::to_string(i));
    EXPECT_EQ(runs.contains(path) ? runs.at(path) : 0, 1) << path << " handled again";
  }
}

// The catch-up finds a file's directory by the text before its last slash: a target typed with
// a trailing slash used to drop every saved run of a file directly in it.
TEST_F(ExactlyOnceTest, RunsQueuedAtAStopRunAfterItWhateverWayTheTargetWasTyped) {
  // The first run holds the only job while the hold file is there: the others wait in the queue.
  const std::string hold = root() + "/hold";
  putFile(hold, "");
  writeScript(handlerPath(), "printf '%s\\0' \"$1\" >> '" + recordPath() + "'\n[ -e '" + hold +
                                 "' ] && exec sleep 30\nexit 0\n");
  // Relative, the state file is resolved against "/": said, and found there.
  std::vector<std::string> args = {"-t",      target() + "/",
                                   "-h",      handlerPath(),
                                   "-L",      logPath(),
                                   "--state", statePath().substr(1),
                                   "-j",      "1"};
  const ProcessResult launched = launchDaemon({}, args);
  EXPECT_NE(launched.err.find("Warning: State file " + statePath().substr(1) +
                              " is relative - it is resolved against /\n"),
            std::string::npos)
      << launched.err;
  ASSERT_TRUE(waitForWatches(1));
  ASSERT_TRUE(waitForLog("Start as daemon..."));
  for (const char* name : {"a", "b", "c"})
    putFile(inTree(name), name);
  ASSERT_TRUE(waitForHandled(1));
  ASSERT_TRUE(waitUntil([&] { return callCount() == 3; }));
  // Records of an excluded name move the saved horizon past the queued files' changes, so that
  // only the queued runs saved in the state can bring them back.
  struct stat c;
  ASSERT_EQ(stat(inTree("c").c_str(), &c), 0);
  ASSERT_TRUE(waitUntil([&] {
    putFile(inTree("z.part"), "");
    long long seconds = 0, nanoseconds = 0;
    return sscanf(readWhole(statePath()).c_str(), "vellumd state 1\nhorizon %lld %lld", &seconds,
                  &nanoseconds) == 2 &&
           (seconds > c.st_ctim.tv_sec ||
            (seconds == c.st_ctim.tv_sec && nanoseconds > c.st_ctim.tv_nsec));
  }));
  stopDaemon();
  ASSERT_EQ(unlink(hold.c_str()), 0);
  startDaemon(1, args);
  EXPECT_TRUE(waitForHandled(3));
  for (const char* name : {"a", "b", "c"})
    EXPECT_EQ(timesHandled(inTree(name)), 1) << name;
}

}  // namespace
}  // namespace vellumd::e2e
