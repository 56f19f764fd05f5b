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
using ServiceTest = DaemonTest;

std::string procEntry(pid_t pid, const std::string& name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

// Held by a supervisor: the same process and session, in "/", logging to standard error, ready
// once every directory is watched; stopped by SIGTERM with status 0 while its handler runs on.
TEST_F(ServiceTest, InTheForegroundItIsTheStartedProcessReadyOnceWatchingAndStopsCleanly) {
  makeDir("a/b/c");
  writeScript(handlerPath(), "sleep 1; printf '%s\\0' \"$1\" >> '" + recordPath() + "'\n");
  // The service manager's socket, in the abstract namespace.
  const std::string name = "@vellumd-test-" + std::to_string(getpid());
  const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  memcpy(address.sun_path + 1, name.data() + 1, name.size() - 1);
  ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
            0);
  const pid_t daemon =
      startForeground({"-t", target(), "-h", handlerPath()}, {"NOTIFY_SOCKET=" + name});
  pollfd ready = {manager, POLLIN, 0};
  char message[16] = {};
  ASSERT_EQ(poll(&ready, 1, 10000), 1);
  EXPECT_EQ(recv(manager, message, sizeof message - 1, 0), 7);
  close(manager);
  EXPECT_STREQ(message, "READY=1");
  EXPECT_EQ(watchCount(), 4);
  EXPECT_EQ(getsid(daemon), getsid(0));
  EXPECT_EQ(fs::read_symlink(procEntry(daemon, "cwd")), "/");
  writeFile("a/x", "x");
  ASSERT_TRUE(waitUntil(
      [&] { return occurrences(readWhole(foregroundStderrPath()), callLine(inTree("a/x"))); }));
  kill(daemon, SIGTERM);
  EXPECT_EQ(foregroundExitStatus(), 0);
  EXPECT_TRUE(waitForHandledPath(inTree("a/x"))) << "the handler was ended with the daemon";
  static const std::regex stamped(
      R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d: Start as daemon\.\.\.\n[\s\S]*: Stop on signal 15\n$)");
  EXPECT_TRUE(std::regex_match(readWhole(foregroundStderrPath()), stamped));
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

// Mistakes that do not stop the start are said on standard error before the daemon leaves, and
// in the log; no
// descriptor of the launcher's reaches the daemon, and none of either reaches a handler.
TEST_F(ServiceTest, StartUpWarnsOfMistakesAndPassesNoDescriptorOn) {
  ProcessResult help = runVellumd({"-t", target(), "--help", "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vellumd -t DIRECTORY -h HANDLER", 0), 0u) << help.out;
  const std::string unopenable = root() + "/no-such-dir/v.log";
  ProcessResult launched = runVellumd({"-t", "no-tree", "--setle", "300", "-h", "rel/handler", "-L",
                                       unopenable, "-X", "*.part", "-L", logPath(), "--jobs=4"});
  EXPECT_EQ(launched.status, 0);
  const std::vector<std::string> warnings = {
      "Warning: Can't open log file " + unopenable + " - No such file or directory",
      "Warning: Unknown option --setle - skipped",
      "Warning: Unknown option -X - skipped",
      "Warning: Unknown option --jobs=4 - skipped",
      "Warning: Target no-tree is relative - it is resolved against /",
      "Warning: Handler rel/handler is relative - it is resolved against /",
      "Warning: Target no-tree is not a directory (No such file or directory) - waiting for it"};
  std::string printed;
  for (const std::string& warning : warnings)
    printed += warning + "\n";
  EXPECT_EQ(launched.err, printed);
  EXPECT_EQ(watchCount(), 0);
  // The log, which is what an operator reads later, has them too.
  std::vector<std::string> logged = warnings;
  logged.push_back("Start as daemon...");
  EXPECT_EQ(logMessages(), logged);
  stopDaemon();

  const std::string pidFile = root() + "/handler.pid";
  writeScript(handlerPath(), "echo $$ > '" + pidFile + ".tmp'; mv '" + pidFile + ".tmp' '" +
                                 pidFile + "'; exec sleep 30\n");
  launchDaemon({"sh", "-c", "exec 7</etc/passwd; exec \"$@\"", "sh"},
               {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  ASSERT_TRUE(waitForWatches(1));
  EXPECT_FALSE(daemonHasOpen("/etc/passwd"));
  writeFile("x", "x");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile); }));
  const pid_t handler = std::stoi(readWhole(pidFile));
  // The shell holds its script, and the loader of the sleep its libraries, open for a moment: an
  // inherited descriptor is one that stays.
  std::vector<std::string> descriptors;
  waitUntil([&] {
    descriptors.clear();
    for (const auto& entry : fs::directory_iterator(procEntry(handler, "fd")))
      descriptors.push_back(entry.path().filename());
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors == std::vector<std::string>{"0", "1", "2"};
  });
  EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
}

// logrotate renames the log and signals: later lines go to a new file by the old name and none is
// lost; a reopen that fails keeps the renamed file and says so in it.
TEST_F(ServiceTest, SighupReopensARenamedLogAndKeepsTheOldOneWhenTheReopenFails) {
  startDaemon();
  const std::string first = logPath() + ".1";
  const std::string second = logPath() + ".2";
  auto logged = [&](const std::string& file, const char* name) {
    return occurrences(readWhole(file), callLine(inTree(name)));
  };
  ASSERT_EQ(rename(logPath().c_str(), first.c_str()), 0);
  writeFile("before", "x");
  ASSERT_TRUE(waitUntil([&] { return logged(first, "before"); }));
  kill(pid(), SIGHUP);
  writeFile("after", "x");
  ASSERT_TRUE(waitUntil([&] { return logged(logPath(), "after"); }));
  ASSERT_EQ(rename(logPath().c_str(), second.c_str()), 0);
  ASSERT_EQ(mkdir(logPath().c_str(), 0755), 0);
  kill(pid(), SIGHUP);
  writeFile("last", "x");
  ASSERT_TRUE(waitUntil([&] { return logged(second, "last"); }));
  EXPECT_EQ(
      occurrences(readWhole(second), ": Can't reopen log file " + logPath() +
                                         " - Is a directory - logging on to the earlier file\n"),
      1u);
  EXPECT_EQ(logged(first, "after") + logged(first, "last") + logged(second, "before"), 0u);
}

// Under a launcher that ignores signals, handlers still start as fresh programs; each one is
// reaped, and one that fails says how.
TEST_F(ServiceTest, HandlersStartWithDefaultSignalsAreReapedAndTheirFailuresLogged) {
  writeScript(handlerPath(), "printf '%s\\0' \"$1\" >> '" + recordPath() +
                                 "'\ncase \"$1\" in\n  *fail) exit 7;;\n  *killed) kill -9 $$;;\n"
                                 "esac\n");
  launchDaemon({"env", "--ignore-signal=CHLD", "--ignore-signal=HUP", "--ignore-signal=QUIT"},
               {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  ASSERT_TRUE(waitForWatches(1));
  for (const char* name : {"ok", "fail", "killed"})
    writeFile(name, "x");
  EXPECT_TRUE(waitForLog("Handler for " + inTree("fail") + " exited with status 7"));
  EXPECT_TRUE(waitForLog("Handler for " + inTree("killed") + " killed by signal 9"));
  settle();
  EXPECT_EQ(occurrences(readWhole(logPath()), ": Handler for "), 2u);
  const std::string children = "task/" + std::to_string(pid()) + "/children";
  EXPECT_TRUE(waitUntil([&] { return readWhole(procEntry(pid(), children)).empty(); }));
  // A shell resets some signals for its commands: sed reports its own dispositions and mask.
  const std::string signals = root() + "/handler-signals";
  putFile(root() + "/sed",
          "#!/usr/bin/env -S sed -n -e /^Sig[IB]/w" + signals + " /proc/self/status\n");
  ASSERT_EQ(chmod((root() + "/sed").c_str(), 0755), 0);
  ASSERT_EQ(rename((root() + "/sed").c_str(), handlerPath().c_str()), 0);
  putFile(inTree("show-signals"), "");
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(signals), "Sig") == 2; }));
  // Signals 32 and 33 belong to the C library, which keeps them from sigaction(): classic ones
  // only.
  std::istringstream masks(readWhole(signals));
  for (std::string name, mask; masks >> name >> mask;)
    EXPECT_EQ(std::stoull(mask, nullptr, 16) & 0x7fffffffULL, 0ULL) << name << mask;
}

// Thirty runs of a 0.3 s handler with -j 3: all thirty, never more than three at once.
TEST_F(ServiceTest, AJobLimitKeepsFurtherRunsQueuedUntilRunningOnesEnd) {
  const std::string running = root() + "/running/";
  ASSERT_EQ(mkdir(running.c_str(), 0755), 0);
  writeScript(handlerPath(), "touch " + running + "$$\nls " + running + " | wc -l >> " + root() +
                                 "/counts\nsleep 0.3\nrm " + running +
                                 "$$\nprintf '%s\\0' \"$1\" >> " + recordPath() + "\n");
  startDaemon(1, {"-t", target(), "-h", handlerPath(), "-L", logPath(), "-j", "3"});
  for (int i = 0; i < 30; ++i)
    putFile(inTree(std::to_string(i)), "");
  ASSERT_TRUE(waitForHandled(30, 20s));
  const std::string counts = readWhole(root() + "/counts");
  EXPECT_EQ(occurrences(counts, "\n"), 30u);
  EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), '3') << counts;
}

}  // namespace
}  // namespace vellumd::e2e
