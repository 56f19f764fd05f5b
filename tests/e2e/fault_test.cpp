// fault_test.cpp: how the real daemon ends, or carries on, when one of its system calls fails.
//
// The failures are injected by a preloaded library, told by environment variables which call
// fails, after how many successes, how often and with which errno.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

const std::string kUnknownError = "Error: Unknown error";

// The settings of the preloaded library: `call` fails with `error` once, after `after` successes,
// unless told otherwise. Given to env(1) as VAR=value words.
class Fault {
 public:
  Fault(const std::string& call, const std::string& error) : call_(call), error_(error) {}
  Fault& after(int successes) {
    after_ = successes;
    return *this;
  }
  Fault& times(int failures) {
    times_ = failures;
    return *this;
  }
  Fault& onPath(const std::string& path) {
    path_ = path;
    return *this;
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> words = {"VELLUMD_FAULT_CALL=" + call_,
                                      "VELLUMD_FAULT_ERRNO=" + error_,
                                      "VELLUMD_FAULT_AFTER=" + std::to_string(after_),
                                      "VELLUMD_FAULT_TIMES=" + std::to_string(times_)};
    if (!path_.empty())
      words.push_back("VELLUMD_FAULT_PATH=" + path_);
    return words;
  }

 private:
  std::string call_;
  std::string error_;
  int after_ = 0;
  int times_ = 1;
  std::string path_;  // open only: the one device that fails
};

class FaultTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    // The detached daemon becomes this process's child, so that its exit status can be read.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  }

  void TearDown() override {
    DaemonTest::TearDown();
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  // Launches the daemon with `fault` injected; returns without waiting for its watches. The
  // launcher returns once the start-up scan is done: with 3 and the error when it failed.
  void launchWithFault(const Fault& fault, int launcherStatus = 0) {
    ProcessResult launched = launchDaemon(withFaults(fault.environment()),
                                          {"-t", target(), "-h", handlerPath(), "-L", logPath()});
    ASSERT_EQ(launched.status, launcherStatus) << launched.err;
    ASSERT_EQ(launched.err, launcherStatus == 0 ? "" : kUnknownError + "\n");
  }

  // Launches the daemon with `fault` and waits until it runs with `watches` watches.
  void startWithFault(const Fault& fault, int watches) {
    ASSERT_NO_FATAL_FAILURE(launchWithFault(fault));
    ASSERT_TRUE(waitForLog("Start as daemon..."));
    ASSERT_TRUE(waitForWatches(watches)) << "have " << watchCount();
  }

  // The exit status of the daemon once it has ended by itself; -1 when it did not within the
  // timeout. A daemon that died before its PID was found is the only child left to wait for: it
  // was its launcher's child, and came to this process when the launcher left.
  int exitStatus() {
    int status = 0;
    const pid_t which = pid() > 0 ? pid() : -1;
    if (!waitUntil([&] { return waitpid(which, &status, WNOHANG) > 0; }))
      return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Ends the daemon fatally: the catch-all's line is the last one, status 3.
  void expectUnknownErrorExit() {
    EXPECT_TRUE(waitForLog(kUnknownError));
    EXPECT_EQ(exitStatus(), 3);
    EXPECT_TRUE(waitForExit());
    ASSERT_FALSE(logMessages().empty());
    EXPECT_EQ(logMessages().back(), kUnknownError);
    EXPECT_EQ(logCount(kUnknownError), 1);
  }

  int linesStartingWith(const std::string& prefix) const {
    auto messages = logMessages();
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [&](const auto& m) { return m.rfind(prefix, 0) == 0; }));
  }
};

TEST_F(FaultTest, AnInotifyInstanceThatCannotBeOpenedEndsTheDaemonWithUnknownError) {
  launchWithFault(Fault("inotify_init", "EMFILE"), 3);
  expectUnknownErrorExit();
  EXPECT_EQ(logMessages(), (std::vector<std::string>{"Start as daemon...", kUnknownError}));
}

// The fourth directory met by the scan is the one that runs out (target, then a, b, c).
TEST_F(FaultTest, RunningOutOfWatchesDuringTheStartUpScanEndsTheDaemonWithUnknownError) {
  for (const char* name : {"a", "b", "c"})
    makeDir(name);
  launchWithFault(Fault("inotify_add_watch", "ENOSPC").after(3), 3);
  expectUnknownErrorExit();
  EXPECT_EQ(logMessages(), (std::vector<std::string>{"Start as daemon...", kUnknownError}));
}

TEST_F(FaultTest, ADirectoryRefusedToTheStartUpScanEndsTheDaemonWithUnknownError) {
  for (const char* name : {"a", "b/c"})
    makeDir(name);
  launchWithFault(Fault("inotify_add_watch", "EACCES").after(2), 3);
  expectUnknownErrorExit();
  EXPECT_EQ(logMessages(), (std::vector<std::string>{"Start as daemon...", kUnknownError}));
}

TEST_F(FaultTest, ADirectoryThatVanishesDuringTheStartUpScanIsSkippedAndTheDaemonRuns) {
  for (const char* name : {"a", "b", "c"})
    makeDir(name);
  startWithFault(Fault("inotify_add_watch", "ENOENT").after(2), 3);
  writeFile("top.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("top.txt")));
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(linesStartingWith("Error: "), 0);
}

// Created while the daemon runs, the directory's watch fails; the next directory is watched.
class RuntimeWatchFaultTest : public FaultTest {
 protected:
  void expectSkippedAndCarriedOn(const std::string& error, const std::string& reason) {
    // The target's watch, the check that the new directory's parent is still where it was, then
    // the new directory's own watch.
    startWithFault(Fault("inotify_add_watch", error).after(2), 1);
    makeDir("lost");
    EXPECT_TRUE(waitForLog("Can't watch directory " + inTree("lost") + " - " + reason));
    makeDir("kept");
    EXPECT_TRUE(waitForWatches(2));
    writeFile("kept/file.txt", "x");
    EXPECT_TRUE(waitForHandledPath(inTree("kept/file.txt")));
    EXPECT_TRUE(daemonAlive());
    EXPECT_EQ(linesStartingWith("Error: "), 0);
  }
};

TEST_F(RuntimeWatchFaultTest, ANewDirectoryThatVanishesBeforeItsWatchIsLoggedAndSkipped) {
  expectSkippedAndCarriedOn("ENOENT", "No such file or directory");
}

TEST_F(RuntimeWatchFaultTest, ANewDirectoryThatCannotBeReadIsLoggedAndSkipped) {
  expectSkippedAndCarriedOn("EACCES", "Permission denied");
}

TEST_F(FaultTest, AFailedReadOfTheInotifyDescriptorEndsTheDaemonWithUnknownError) {
  startWithFault(Fault("read", "EIO"), 1);
  writeFile("a.txt", "x");
  expectUnknownErrorExit();
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"Start as daemon...", "poll exit - 1", kUnknownError}));
  EXPECT_TRUE(handled().empty());
}

TEST_F(FaultTest, AnInterruptedPollIsLoggedAndTheLoopGoesOn) {
  startWithFault(Fault("poll", "EINTR"), 1);
  EXPECT_TRUE(waitForLog("poll return error - -1!!"));
  writeFile("a.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("a.txt")));
  EXPECT_EQ(logCount("poll return error - -1!!"), 1);
  EXPECT_EQ(logMessages().at(1), "poll return error - -1!!");
  EXPECT_TRUE(daemonAlive());
}

// With the system out of processes or memory for a moment, the run waits and starts later, once.
class ForkRetryTest : public FaultTest {
 protected:
  void expectRetried(const std::string& error, int times, const std::string& reason) {
    startWithFault(Fault("fork", error).times(times), 1);
    writeFile("a.txt", "x");
    EXPECT_TRUE(waitForHandledPath(inTree("a.txt")));
    EXPECT_EQ(logCount("Handler start delayed - fork() fail - " + reason + " - 1 waiting"), times);
    // Handled in order: once b.txt has been, a.txt had every chance to run a second time.
    writeFile("b.txt", "x");
    EXPECT_TRUE(waitForHandledPath(inTree("b.txt")));
    EXPECT_EQ(handled(), (std::vector<std::string>{inTree("a.txt"), inTree("b.txt")}));
    EXPECT_TRUE(daemonAlive());
    EXPECT_EQ(linesStartingWith("Error: "), 0);
  }
};

TEST_F(ForkRetryTest, AForkFailingForWantOfProcessesThreeTimesIsRetriedAndTheRunStartsOnce) {
  expectRetried("EAGAIN", 3, "Resource temporarily unavailable");
}

TEST_F(ForkRetryTest, AForkFailingForWantOfMemoryIsRetriedAndTheRunStartsOnce) {
  expectRetried("ENOMEM", 1, "Cannot allocate memory");
}

TEST_F(FaultTest, AForkFailingForAnyOtherReasonEndsTheDaemonWithUnknownError) {
  startWithFault(Fault("fork", "ENOSYS"), 1);
  writeFile("a.txt", "x");
  expectUnknownErrorExit();
  EXPECT_EQ(linesStartingWith("Handler start delayed"), 0);
  EXPECT_TRUE(handled().empty());
}

// A child that cannot start the handler gets one "Error: Unknown error" line; the second file's
// run shows the daemon carried on.
class ChildFaultTest : public FaultTest {
 protected:
  void expectFirstRunFailsAndDaemonCarriesOn(const Fault& fault, const std::string& reason) {
    startWithFault(fault, 1);
    writeFile("a.txt", "x");
    EXPECT_TRUE(waitForLog(kUnknownError));
    EXPECT_TRUE(waitForLog("Handler " + handlerPath() + " could not be started - " + reason));
    writeFile("b.txt", "x");
    EXPECT_TRUE(waitForHandledPath(inTree("b.txt")));
    EXPECT_EQ(handled(), std::vector<std::string>{inTree("b.txt")});
    EXPECT_EQ(logCount(kUnknownError), 1);
    EXPECT_TRUE(daemonAlive());
  }
};

// Only the first child's exec fails.
TEST_F(ChildFaultTest, AFailedExecIsReportedByTheChildAndTheDaemonCarriesOn) {
  expectFirstRunFailsAndDaemonCarriesOn(Fault("execv", "ENOEXEC"), "Exec format error");
}

TEST_F(ChildFaultTest, AChildThatCannotOpenTheZeroDeviceReportsItAndTheDaemonCarriesOn) {
  expectFirstRunFailsAndDaemonCarriesOn(Fault("open", "ENFILE").onPath("/dev/zero"),
                                        "Too many open files in system");
}

TEST_F(ChildFaultTest, AChildThatCannotOpenTheNullDeviceReportsItAndTheDaemonCarriesOn) {
  expectFirstRunFailsAndDaemonCarriesOn(Fault("open", "ENFILE").onPath("/dev/null"),
                                        "Too many open files in system");
}

}  // namespace
}  // namespace vellumd::e2e
