// handler_test.cpp: when the handler runs for a file, with which argument, and in what setting.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// Failures: time limits, retries and the handler's last words.
class FailureTest : public HandlerTest {
 protected:
  // A handler that counts its runs per name in root()/count.NAME, then acts as the name says:
  // "hang*" ignores SIGTERM, as does the child it starts, and writes its group to NAME.pgid;
  // "flaky*" fails its first two tries; "broken" always fails; "bad" says its input was bad;
  // "gone" removes its file and fails; "broke*" fails while root()/broken exists; "loud" says five
  // lines and fails; "chatty" writes 10 MB and succeeds. Successes are recorded.
  std::string failingHandler() {
    const std::string script = root() + "/failing-handler";
    writeScript(script,
                "r='" + root() + "'; n=${1##*/}\nc=$(cat \"$r/count.$n\" 2>/dev/null)\n" +
                    "c=$((c + 1)); echo $c > \"$r/count.$n\"\ncase $n in\n" +
                    "  hang*) echo $$ > \"$r/$n.pgid\"; trap '' TERM; sleep 300 & wait;;\n" +
                    "  flaky*) [ $c -ge 3 ] || exit 1;;\n  broken) exit 1;;\n" +
                    "  bad) exit 65;;\n  gone) rm \"$1\"; exit 1;;\n" +
                    "  broke*) [ -e \"$r/broken\" ] && exit 1;;\n" +
                    "  loud) for i in 1 2 3 4 5; do printf 'say\\t%s\\n' $i >&2; done;" +
                    " exit 2;;\n" +
                    "  chatty) head -c 10000000 /dev/zero | tr '\\0' x >&2;;\nesac\n" +
                    "printf '%s\\0' \"$1\" >> '" + recordPath() + "'\n");
    return script;
  }
  int runs(const std::string& name) const {
    const std::string count = readWhole(root() + "/count." + name);
    return count.empty() ? 0 : std::stoi(count);
  }
  // True while a process of `group` lives; a zombie no longer counts (an init that reaps no
  // orphans keeps them).
  static bool groupLives(pid_t group) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string stat = readWhole(entry.path().string() + "/stat");
      const size_t paren = stat.rfind(')');
      char state = 0;
      int parent = 0, pgrp = 0;
      if (paren != std::string::npos &&
          sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &parent, &pgrp) == 3 &&
          pgrp == group && state != 'Z') {
        return true;
      }
    }
    return false;
  }
  std::string handlerFor(const std::string& name) const {
    return "Handler for " + inTree(name) + " ";
  }
};

TEST_F(FailureTest, ARunPastItsTimeLimitIsStoppedWithWhatItStartedAndFreesItsJob) {
  startDaemon(-1, {"-t", target(), "-h", failingHandler(), "-L", logPath(), "-T", "1", "-j", "1"});
  writeFile("hang", "x");
  writeFile("after", "y");
  const std::string pgidFile = root() + "/hang.pgid";
  ASSERT_TRUE(waitUntil([&] { return !readWhole(pgidFile).empty(); }));
  const pid_t group = std::stoi(readWhole(pgidFile));
  ASSERT_TRUE(waitForLog(handlerFor("hang") + "ran past 1 s - stopping it", 5s));
  // Neither the handler nor its child heeds SIGTERM: the group's SIGKILL comes 5 s later.
  EXPECT_TRUE(groupLives(group));
  EXPECT_TRUE(waitUntil([&] { return !groupLives(group); }, 6500ms));
  EXPECT_TRUE(waitForLog(handlerFor("hang") + "killed by signal 9"));
  EXPECT_TRUE(waitForHandledPath(inTree("after"), 5s));
}

TEST_F(FailureTest, AFailedRunIsTriedAgainUntilItSucceedsItsTriesRunOutOrItsNameIsGone) {
  startDaemon(-1, {"-t", target(), "-h", failingHandler(), "-L", logPath(), "-r", "2",
                   "--retry-delay", "200", "-j", "2"});
  for (const char* name : {"flaky1", "flaky2", "broken", "bad", "gone"})
    writeFile(name, "x");
  ASSERT_TRUE(waitForHandledPath(inTree("flaky1")));
  ASSERT_TRUE(waitForHandledPath(inTree("flaky2")));
  ASSERT_TRUE(waitForLog(handlerFor("broken") + "failed 3 times - giving up"));
  ASSERT_TRUE(waitForLog("Handler for " + inTree("gone") +
                         " not run again - the name is gone or no longer a file to hand over"));
  ASSERT_TRUE(waitForLog(handlerFor("bad") + "exited with status 65"));
  EXPECT_TRUE(logContains(handlerFor("flaky1") + "will run again in 200 ms (try 1 of 3)"));
  EXPECT_TRUE(logContains(handlerFor("flaky1") + "will run again in 400 ms (try 2 of 3)"));
  EXPECT_EQ(timesHandled(inTree("flaky1")), 1);
  EXPECT_EQ(runs("flaky2"), 3);
  EXPECT_EQ(runs("broken"), 3);
  EXPECT_EQ(runs("bad"), 1) << "status 65: the input was bad, trying again is pointless";
  EXPECT_EQ(runs("gone"), 1);
  EXPECT_EQ(logCount(handlerFor("bad") + "exited with status 65"), 1);
  kill(pid(), SIGUSR1);
  EXPECT_TRUE(
      waitForLog("Status: 1 directories watched, 0 runs queued, 0 running, 0 waiting to "
                 "retry, 11 started, 9 failed, 0 overflows"));
}

TEST_F(FailureTest, ARetryWaitingAtACrashRunsOnceAfterTheRestart) {
  const std::string state = root() + "/state";
  const std::vector<std::string> args = {"-t",      target(), "-h", failingHandler(), "-L",
                                         logPath(), "-r",     "5",  "--retry-delay",  "3000",
                                         "-S",      state};
  putFile(root() + "/broken", "");
  startDaemon(-1, args);
  writeFile("broke.txt", "x");
  ASSERT_TRUE(waitForLog(handlerFor("broke.txt") + "will run again in 3000 ms (try 1 of 6)"));
  ASSERT_TRUE(waitUntil([&] { return readWhole(state).find("\nretry 5 ") != std::string::npos; }));
  kill(pid(), SIGKILL);
  ASSERT_TRUE(waitForExit());
  unlink((root() + "/broken").c_str());
  startDaemon(-1, args);
  ASSERT_TRUE(waitForHandledPath(inTree("broke.txt"), 8s));
  EXPECT_EQ(timesHandled(inTree("broke.txt")), 1);
  EXPECT_EQ(runs("broke.txt"), 2);
}

TEST_F(FailureTest, AFailedRunsLastErrorLinesFollowItsOutcomeAndASuccessfulOnesAreDropped) {
  startDaemon(-1, {"-t", target(), "-h", failingHandler(), "-L", logPath(), "-E", "3"});
  writeFile("chatty", "x");
  writeFile("loud", "y");
  ASSERT_TRUE(waitForLog(handlerFor("loud") + "said: say\\t5"));
  ASSERT_TRUE(waitForHandledPath(inTree("chatty"), 20s)) << "10 MB on standard error must flow";
  const std::vector<std::string> messages = logMessages();
  auto outcome =
      std::find(messages.begin(), messages.end(), handlerFor("loud") + "exited with status 2");
  ASSERT_LE(outcome + 4, messages.end());
  for (int line = 1; line <= 3; ++line)
    EXPECT_EQ(*(outcome + line), handlerFor("loud") + "said: say\\t" + std::to_string(line + 2));
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.find(" said: ") != m.npos; }),
            3);
}

}  // namespace
}  // namespace vellumd::e2e
