// handler_test.cpp: when the handler runs for a file, with which argument, and in what setting.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

void openAndClose(const std::string& path, int flags) {
  OpenFile file(path, flags);
}

class HandlerTest : public DaemonTest {
 protected:
  // A target-level record's description; the target is always the first watch.
  std::string targetRecord(const std::string& name, const std::string& flags) const {
    return "Inotify event for 1(cookie:0) - " + name + " in " + target() + " - " + flags;
  }
};

TEST_F(HandlerTest, AFileCreatedEmptyAndClosedIsHandledOnce) {
  startDaemon();
  openAndClose(inTree("empty.txt"), O_CREAT);
  ASSERT_TRUE(waitForHandledPath(inTree("empty.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("empty.txt")), 1);
}

TEST_F(HandlerTest, SeveralWritesInOneOpenRunTheHandlerOnceAtTheClose) {
  startDaemon();
  OpenFile file(inTree("big.txt"));
  for (int i = 0; i < 3; ++i) {
    file.write("chunk " + std::to_string(i) + "\n");
    // The same record again and again is folded in the log: counted, and written within a second.
    ASSERT_TRUE(
        waitUntil([&] { return logCountUnfolded(targetRecord("big.txt", "IN_MODIFY")) > i; }));
  }
  settle();
  EXPECT_EQ(timesHandled(inTree("big.txt")), 0) << "handled before its close";
  file.close();
  ASSERT_TRUE(waitForHandledPath(inTree("big.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("big.txt")), 1);
}

TEST_F(HandlerTest, AFileRewrittenAfterItsCloseIsHandledAgain) {
  startDaemon();
  writeFile("again.txt", "first");
  ASSERT_TRUE(waitForHandledPath(inTree("again.txt")));
  writeFile("again.txt", "second");
  ASSERT_TRUE(waitUntil([&] { return timesHandled(inTree("again.txt")) == 2; }));
  settle();
  EXPECT_EQ(timesHandled(inTree("again.txt")), 2);
}

TEST_F(HandlerTest, AnExistingFileOpenedForWritingAndClosedUnmodifiedIsNotHandled) {
  writeFile("old.txt", "was here before the daemon");
  startDaemon();
  openAndClose(inTree("old.txt"), 0);
  // The close was seen, and it alone does not make the file complete.
  ASSERT_TRUE(waitForLog(targetRecord("old.txt", "IN_CLOSE_WRITE")));
  settle();
  EXPECT_EQ(timesHandled(inTree("old.txt")), 0);
  EXPECT_FALSE(logContains(callLine(inTree("old.txt"))));
}

// A file renamed into place while its writer still has it open is never handed over half
// written: it runs once, at its close.
TEST_F(HandlerTest, AFileMovedInWhileStillOpenRunsOnceAtItsCloseWithItsNewPath) {
  startDaemon();
  const std::string outside = root() + "/outside.txt";
  OpenFile file(outside);
  file.write("written outside the tree");
  ASSERT_EQ(rename(outside.c_str(), inTree("arrived.txt").c_str()), 0);
  settle();
  EXPECT_EQ(timesHandled(inTree("arrived.txt")), 0);
  file.write(", and more inside");
  file.close();
  ASSERT_TRUE(waitForHandledPath(inTree("arrived.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("arrived.txt")), 1);
  EXPECT_EQ(timesHandled(outside), 0);
}

TEST_F(HandlerTest, AFileMovedFromElsewhereInTheTreeIsHandledOnceWithItsNewPath) {
  makeDir("from");
  makeDir("to");
  startDaemon();
  writeFile("from/a.txt", "content");
  ASSERT_TRUE(waitForHandledPath(inTree("from/a.txt")));
  ASSERT_EQ(rename(inTree("from/a.txt").c_str(), inTree("to/b.txt").c_str()), 0);
  ASSERT_TRUE(waitForHandledPath(inTree("to/b.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("from/a.txt")), 1);
  EXPECT_EQ(timesHandled(inTree("to/b.txt")), 1);
}

TEST_F(HandlerTest, AFileRenamedWhileOpenRunsOnceAtItsCloseUnderItsNewName) {
  startDaemon();
  OpenFile file(inTree("draft.txt"));
  file.write("text");
  ASSERT_EQ(rename(inTree("draft.txt").c_str(), inTree("final.txt").c_str()), 0);
  settle();
  EXPECT_EQ(timesHandled(inTree("final.txt")), 0);
  file.close();
  ASSERT_TRUE(waitForHandledPath(inTree("final.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("final.txt")), 1);
  EXPECT_EQ(timesHandled(inTree("draft.txt")), 0);
}

// Names are bytes: the handler must get exactly the bytes of the path, whatever they are.
struct OddName {
  const char* label;
  std::string name;
};

void PrintTo(const OddName& oddName, std::ostream* out) {
  *out << oddName.label;
}

class HandlerNameTest : public HandlerTest, public ::testing::WithParamInterface<OddName> {};

TEST_P(HandlerNameTest, TheHandlerReceivesThePathByteForByte) {
  startDaemon();
  const std::string path = inTree(GetParam().name);
  OpenFile file(path);
  file.write("x");
  file.close();
  ASSERT_TRUE(waitForHandled(1));
  settle();
  auto paths = handled();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), path);
  EXPECT_EQ(timesHandled(path), 1);
}

INSTANTIATE_TEST_SUITE_P(
    OddNames, HandlerNameTest,
    ::testing::Values(OddName{"Space", "two words.txt"}, OddName{"LeadingDash", "-rf"},
                      OddName{"Utf8", "r\xC3\xA9sum\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.txt"},
                      OddName{"Newline", "line\nbreak"}, OddName{"Backslash", "back\\slash"},
                      OddName{"LongestName", std::string(255, 'n')}),
    [](const ::testing::TestParamInfo<OddName>& info) { return std::string(info.param.label); });

TEST_F(HandlerTest, TheHandlerRunsAsItsOwnPathWithOneArgumentInRootReadingZerosWritingNowhere) {
  const std::string script = root() + "/env-handler";
  const std::string report = root() + "/env";
  // The descriptors are read before anything redirects them; $$ is the script's shell.
  writeScript(script,
              "fd0=$(readlink /proc/$$/fd/0)\n"
              "fd1=$(readlink /proc/$$/fd/1)\n"
              "fd2=$(readlink /proc/$$/fd/2)\n"
              "zeros=$(head -c 4 | od -An -tx1 | tr -d ' \\n')\n"
              "printf 'argv0=%s\\nargc=%s\\narg1=%s\\ncwd=%s\\nfd0=%s\\nfd1=%s\\nfd2=%s\\n"
              "zeros=%s\\n' \"$0\" \"$#\" \"$1\" \"$(pwd -P)\" \"$fd0\" \"$fd1\" \"$fd2\" "
              "\"$zeros\" > '" +
                  report + ".tmp'\n" + "mv '" + report + ".tmp' '" + report + "'\n");
  startDaemon(-1, {"-t", target(), "-h", script, "-L", logPath()});
  writeFile("probe.txt", "x");
  ASSERT_TRUE(waitUntil([&] { return access(report.c_str(), F_OK) == 0; }));
  std::map<std::string, std::string> seen;
  std::istringstream lines(readWhole(report));
  for (std::string line; std::getline(lines, line);) {
    size_t equals = line.find('=');
    if (equals != std::string::npos)
      seen[line.substr(0, equals)] = line.substr(equals + 1);
  }
  EXPECT_EQ(seen["argv0"], script);
  EXPECT_EQ(seen["argc"], "1");
  EXPECT_EQ(seen["arg1"], inTree("probe.txt"));
  EXPECT_EQ(seen["cwd"], "/");
  EXPECT_EQ(seen["fd0"], "/dev/zero");
  EXPECT_EQ(seen["fd1"], "/dev/null");
  EXPECT_EQ(seen["fd2"], "/dev/null");
  EXPECT_EQ(seen["zeros"], "00000000");
}

TEST_F(HandlerTest, ASlowHandlerHoldsUpNoOtherFile) {
  const std::string script = root() + "/slow-handler";
  const std::string pidFile = root() + "/slow.pid";
  // Records first, then sleeps for the first file only; exec keeps the PID it wrote.
  writeScript(script, "printf '%s\\0' \"$1\" >> '" + recordPath() + "'\ncase \"$1\" in\n  */slow)" +
                          " echo $$ > '" + pidFile + ".tmp'; mv '" + pidFile + ".tmp' '" + pidFile +
                          "'; exec sleep 5;;\nesac\n");
  startDaemon(-1, {"-t", target(), "-h", script, "-L", logPath()});
  writeFile("slow", "x");
  ASSERT_TRUE(waitUntil([&] { return access(pidFile.c_str(), F_OK) == 0; }));
  const pid_t sleeper = std::stoi(readWhole(pidFile));
  const auto start = std::chrono::steady_clock::now();
  writeFile("quick", "y");
  EXPECT_TRUE(waitForHandledPath(inTree("quick"), 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  // The first handler was still asleep when the second one ran.
  EXPECT_EQ(kill(sleeper, 0), 0);
  kill(sleeper, SIGKILL);
}

// A script without "#!" cannot be exec'ed (only a shell would run it), nor one without the
// execute permission: each start logs the error and why, and the daemon carries on.
TEST_F(HandlerTest, AHandlerThatCannotBeExecutedLogsTheChildsErrorAndTheDaemonCarriesOn) {
  const std::string script = root() + "/not-executable";
  std::ofstream(script) << "exit 0\n";
  chmod(script.c_str(), 0755);
  startDaemon(-1, {"-t", target(), "-h", script, "-L", logPath()});
  const std::string first = "Call handler " + script + " with argument: " + inTree("first.txt");
  writeFile("first.txt", "x");
  const std::string why = "Handler " + script + " could not be started - ";
  ASSERT_TRUE(waitForLog(why + "Exec format error"));
  auto messages = logMessages();
  auto call = std::find(messages.begin(), messages.end(), first);
  auto error = std::find(messages.begin(), messages.end(), "Error: Unknown error");
  EXPECT_LT(call, error) << "the child's error must follow the call";
  ASSERT_NE(error, messages.end());
  EXPECT_EQ(*(error + 1), why + "Exec format error");
  EXPECT_TRUE(daemonAlive());

  chmod(script.c_str(), 0644);
  writeFile("second.txt", "y");
  EXPECT_TRUE(waitForLog("Call handler " + script + " with argument: " + inTree("second.txt")));
  EXPECT_TRUE(waitForLog(why + "Permission denied"));
  EXPECT_EQ(logCount("Error: Unknown error"), 2);
  EXPECT_TRUE(daemonAlive());
}

}  // namespace
}  // namespace vellumd::e2e
