// service_test.cpp: the daemon as a service: held in the foreground, its launcher's wait, the
// signals it acts on, how handlers end, what it says at start-up, and the job limit.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

// A datagram socket in the abstract namespace, standing in for the service manager.
class NotifySocket {
 public:
  NotifySocket() : name_("@vellumd-test-" + std::to_string(getpid())) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name_.data() + 1, name_.size() - 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << strerror(errno);
  }
  ~NotifySocket() { close(fd_); }
  const std::string& name() const { return name_; }
  // The next message; "" when none comes within ten seconds.
  std::string receive() {
    pollfd ready = {fd_, POLLIN, 0};
    char buffer[256];
    ssize_t count = poll(&ready, 1, 10000) == 1 ? recv(fd_, buffer, sizeof buffer, 0) : 0;
    return std::string(buffer, static_cast<size_t>(std::max<ssize_t>(count, 0)));
  }

 private:
  std::string name_;
  int fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

std::string procEntry(pid_t pid, const std::string& name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

using ServiceTest = DaemonTest;

// Held by a supervisor: the same process and session, in "/", logging to standard error, ready
// once every directory is watched; stopped by SIGTERM with status 0 while its handler runs on.
TEST_F(ServiceTest, InTheForegroundItIsTheStartedProcessReadyOnceWatchingAndStopsCleanly) {
  for (const char* name : {"a/b/c", "d"})
    makeDir(name);
  writeScript(handlerPath(), "sleep 1; printf '%s\\0' \"$1\" >> '" + recordPath() + "'\n");
  NotifySocket manager;
  const pid_t daemon =
      startForeground({"-t", target(), "-h", handlerPath()}, {"NOTIFY_SOCKET=" + manager.name()});
  ASSERT_EQ(manager.receive(), "READY=1");
  EXPECT_EQ(watchCount(), 5);
  EXPECT_EQ(getsid(daemon), getsid(0));
  EXPECT_EQ(fs::read_symlink(procEntry(daemon, "cwd")), "/");
  writeFile("d/x", "x");
  ASSERT_TRUE(waitUntil([&] {
    return readWhole(foregroundStderrPath()).find(callLine(inTree("d/x"))) != std::string::npos;
  }));
  kill(daemon, SIGTERM);
  EXPECT_EQ(foregroundExitStatus(), 0);
  EXPECT_TRUE(waitForHandledPath(inTree("d/x"))) << "the handler was ended with the daemon";
  const std::string err = readWhole(foregroundStderrPath());
  static const std::regex stamped(R"(^(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d: [^\n]*\n)+$)");
  EXPECT_TRUE(std::regex_match(err, stamped)) << err;
  EXPECT_EQ(err.find(": Start as daemon...\n"), 19u) << err;
  EXPECT_TRUE(err.ends_with(": Stop on signal 15\n")) << err;
}

// A script that starts the daemon and writes a file at once must not miss it.
TEST_F(ServiceTest, TheLauncherReturnsOnlyOnceEveryDirectoryIsWatched) {
  for (int i = 0; i < 2000; ++i)
    makeDir("d" + std::to_string(i % 40) + "/e" + std::to_string(i));
  ProcessResult launched = runVellumd({"-t", target(), "-h", handlerPath(), "-L", logPath()});
  EXPECT_EQ(launched.status, 0);
  EXPECT_EQ(launched.err, "");
  EXPECT_EQ(watchCount(), 2041);
  putFile(inTree("d39/e1999/now"), "written as soon as the launcher returned");
  EXPECT_TRUE(waitForHandledPath(inTree("d39/e1999/now")));
}

// Mistakes that do not stop the start are said on standard error before the daemon leaves.
TEST_F(ServiceTest, StartUpWarnsOfRelativePathsAMissingTargetAndAnUnopenableLog) {
  ProcessResult help = runVellumd({"-t", target(), "--help", "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vellumd -t DIRECTORY -h HANDLER", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  EXPECT_FALSE(daemonAlive());
  const std::string unopenable = root() + "/no-such-dir/v.log";
  ProcessResult launched =
      runVellumd({"-t", "no-tree", "-h", "rel/handler", "-L", unopenable, "-L", logPath()});
  EXPECT_EQ(launched.status, 0);
  EXPECT_EQ(launched.err,
            "Warning: Can't open log file " + unopenable + " - No such file or directory\n" +
                "Warning: Target no-tree is relative - it is resolved against /\n" +
                "Warning: Handler rel/handler is relative - it is resolved against /\n" +
                "Warning: Target no-tree is not a directory (No such file or directory) - " +
                "nothing is watched\n");
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 0);
  EXPECT_EQ(logMessages(), std::vector<std::string>{"Start as daemon..."});
}

// Neither a descriptor the launcher left open nor one of the daemon's own reaches a handler.
TEST_F(ServiceTest, AHandlerInheritsNoDescriptorBeyondItsStandardThree) {
  const std::string pidFile = root() + "/handler.pid";
  writeScript(handlerPath(), "echo $$ > '" + pidFile + ".tmp'; mv '" + pidFile + ".tmp' '" +
                                 pidFile + "'; exec sleep 30\n");
  launchDaemon({"sh", "-c", "exec 7</etc/passwd; exec \"$@\"", "sh"},
               {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  ASSERT_TRUE(waitForWatches(1));
  EXPECT_FALSE(daemonHasOpen("/etc/passwd"));
  writeFile("x", "x");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile); }));
  std::vector<std::string> descriptors;
  for (const auto& entry : fs::directory_iterator(procEntry(std::stoi(readWhole(pidFile)), "fd")))
    descriptors.push_back(entry.path().filename());
  std::sort(descriptors.begin(), descriptors.end());
  EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
}

// logrotate renames the log and signals: later lines go to a new file by the old name and none is
// lost; a reopen that fails keeps the renamed file and says so in it.
TEST_F(ServiceTest, SighupReopensARenamedLogAndKeepsTheOldOneWhenTheReopenFails) {
  startDaemon();
  const std::string first = logPath() + ".1";
  const std::string second = logPath() + ".2";
  ASSERT_EQ(rename(logPath().c_str(), first.c_str()), 0);
  writeFile("before", "x");
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(first), callLine(inTree("before"))); }));
  kill(pid(), SIGHUP);
  writeFile("after", "x");
  ASSERT_TRUE(waitForLog(callLine(inTree("after"))));
  ASSERT_EQ(rename(logPath().c_str(), second.c_str()), 0);
  ASSERT_EQ(mkdir(logPath().c_str(), 0755), 0);
  kill(pid(), SIGHUP);
  writeFile("last", "x");
  const std::string refused = ": Can't reopen log file " + logPath() +
                              " - Is a directory - logging on to the earlier file\n";
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(second), callLine(inTree("last"))); }));
  EXPECT_EQ(occurrences(readWhole(second), refused), 1u);
  const std::string all = readWhole(first) + readWhole(second);
  for (const char* name : {"before", "after", "last"})
    EXPECT_EQ(occurrences(all, callLine(inTree(name))), 1u) << name;
}

// Under a launcher that ignores SIGCHLD and SIGHUP, handlers still start as fresh programs; each
// one is reaped, and one that fails says how.
TEST_F(ServiceTest, HandlersStartWithDefaultSignalsAreReapedAndTheirFailuresLogged) {
  writeScript(handlerPath(), "printf '%s\\0' \"$1\" >> '" + recordPath() +
                                 "'\ncase \"$1\" in\n  *fail) exit 7;;\n  *killed) kill -9 $$;;\n"
                                 "esac\n");
  launchDaemon({"env", "--ignore-signal=CHLD", "--ignore-signal=HUP"},
               {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  ASSERT_TRUE(waitForWatches(1));
  for (const char* name : {"ok", "fail", "killed"})
    writeFile(name, "x");
  EXPECT_TRUE(waitForLog("Handler for " + inTree("fail") + " exited with status 7"));
  EXPECT_TRUE(waitForLog("Handler for " + inTree("killed") + " killed by signal 9"));
  settle();
  EXPECT_EQ(occurrences(readWhole(logPath()), ": Handler for "), 2u);
  EXPECT_TRUE(waitUntil([&] { return childCount() == 0; }));
  EXPECT_NE(readWhole(procEntry(pid(), "status")).find("\nSigIgn:\t0000000000000000\n"),
            std::string::npos);
  // A shell would reset SIGCHLD for its commands: sed reports its own dispositions and mask.
  const std::string signalsFile = root() + "/handler-signals";
  putFile(root() + "/sed",
          "#!/usr/bin/env -S sed -n -e /^Sig[IB]/w" + signalsFile + " /proc/self/status\n");
  ASSERT_EQ(chmod((root() + "/sed").c_str(), 0755), 0);
  ASSERT_EQ(rename((root() + "/sed").c_str(), handlerPath().c_str()), 0);
  putFile(inTree("show-signals"), "");
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(signalsFile), "Sig") == 2; }));
  EXPECT_EQ(readWhole(signalsFile), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST_F(ServiceTest, ABurstOfRunsLeavesNoChildUnreaped) {
  startDaemon(1, {"-t", target(), "-h", "/bin/true", "-L", logPath()});
  constexpr int kRuns = 3000;
  for (int i = 0; i < kRuns; ++i)
    putFile(inTree("f" + std::to_string(i)), "");
  ASSERT_TRUE(waitUntil([&] { return callCount() == kRuns; }, 60s)) << callCount();
  EXPECT_TRUE(waitUntil([&] { return childCount() == 0; }, 30s)) << childCount();
}

// Thirty runs of a 0.3 s handler with -j 3: never more than three at once, and all thirty.
TEST_F(ServiceTest, AJobLimitKeepsFurtherRunsQueuedUntilRunningOnesEnd) {
  const std::string running = root() + "/running";
  ASSERT_EQ(mkdir(running.c_str(), 0755), 0);
  writeScript(handlerPath(), "printf '%s\\0' \"$1\" >> '" + recordPath() + "'\ntouch '" + running +
                                 "'/$$\nls '" + running + "' | wc -l >> '" + root() +
                                 "/counts'\nsleep 0.3\nrm '" + running + "'/$$\n");
  startDaemon(1, {"-t", target(), "-h", handlerPath(), "-L", logPath(), "-j", "3"});
  std::vector<std::string> expected;
  for (int i = 10; i < 40; ++i) {
    expected.push_back(inTree("job" + std::to_string(i)));
    putFile(expected.back(), "");
  }
  ASSERT_TRUE(waitForHandled(30, 20s));
  std::vector<std::string> paths = handled();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, expected);
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(root() + "/counts"), "\n") == 30; }));
  std::istringstream counts(readWhole(root() + "/counts"));
  int most = 0;
  for (int count; counts >> count;)
    most = std::max(most, count);
  EXPECT_EQ(most, 3);
}

}  // namespace
}  // namespace vellumd::e2e
