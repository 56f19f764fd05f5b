// startup_test.cpp: the command line, the start-up errors, the banner and the choice of log file.
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

class StartupTest : public DaemonTest {
 protected:
  // Runs a command line that must be refused before detaching, and checks the refusal.
  void expectRefused(const std::vector<std::string>& args, const std::string& message) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ProcessResult result = runVellumd(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: " + message + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(daemonAlive());
  }

  // A file written into the tree, its handler run waited for: proof that the daemon works.
  void expectFileHandled(const std::string& name) {
    writeFile(name, "x");
    EXPECT_TRUE(waitForHandledPath(inTree(name))) << name;
  }

  std::string missingDirectory() const { return root() + "/no-such-dir"; }
};

// A command line without a target, a handler or a log option's value, or with a bad job limit,
// is refused before detaching; the error also goes to a log named earlier on the line. (What
// counts as which is the option scan's, tested with it.)
TEST_F(StartupTest, RefusesAnIncompleteCommandLineAlsoInALogOpenedEarlier) {
  expectRefused({}, "No target specified!!");
  expectRefused({"-L", logPath(), "-t", target()}, "No handler specified!!");
  expectRefused({"--log", logPath(), "-h", handlerPath()}, "No target specified!!");
  expectRefused({"-L", logPath(), "-t", target(), "-h", handlerPath(), "-L"},
                "No log file specified!!");
  expectRefused({"-L", logPath(), "-t", target(), "-h", handlerPath(), "-j", "-2"},
                "Invalid value for -j: '-2' (a number from 1 to 1000000)!!");
  // logMessages() fails the test on any line without its timestamp.
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{
                "Error: No handler specified!!", "Error: No target specified!!",
                "Error: No log file specified!!",
                "Error: Invalid value for -j: '-2' (a number from 1 to 1000000)!!"}));
}

TEST_F(StartupTest, PrintsOnlyTheBannerForAVersionOptionAnywhereOnTheLine) {
  static const std::regex banner(
      R"(vellumd : Ver\.1\.01\(compiled :(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
      R"([ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\)\n)");
  const std::vector<std::vector<std::string>> lines = {
      {"-V"},
      // Nothing after the banner option is looked at, not even an option without its value.
      {"--unknown", "-t", target(), "-h", handlerPath(), "-L", logPath(), "--version", "-t"},
  };
  for (const auto& args : lines) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ProcessResult result = runVellumd(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(std::regex_match(result.out, banner)) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(daemonAlive()) << "the banner option must not leave a daemon behind";
  }
  // The log of the second line was opened, but nothing was written to it.
  EXPECT_TRUE(exists(logPath()));
  EXPECT_EQ(readWhole(logPath()), "");
}

// A log that cannot be opened is no reason to stop: the daemon works and logs nowhere.
TEST_F(StartupTest, RunsWithoutALogWhenTheLogCannotBeOpened) {
  const std::string unopenable = missingDirectory() + "/vellumd.log";
  launchDaemon({}, {"-t", target(), "-h", handlerPath(), "-L", unopenable});
  ASSERT_GT(pid(), 0);
  ASSERT_TRUE(waitForWatches(1));
  expectFileHandled("a.txt");
  EXPECT_TRUE(daemonAlive());
  EXPECT_FALSE(exists(missingDirectory()));
  EXPECT_FALSE(exists(logPath()));
}

TEST_F(StartupTest, AppendsToAnExistingLogStartingWithStartAsDaemon) {
  {
    std::ofstream earlier(logPath());
    earlier << "2020/01/02 03:04:05: an earlier run\n";
  }
  startDaemon();
  expectFileHandled("a.txt");
  ASSERT_TRUE(waitForLog("Call handler " + handlerPath() + " with argument: " + inTree("a.txt")));
  std::vector<std::string> messages = logMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0], "an earlier run");
  EXPECT_EQ(messages[1], "Start as daemon...");
}

// The log path is opened before detaching, so it is relative to the directory started from.
TEST_F(StartupTest, OpensARelativeLogPathInTheDirectoryItWasStartedFrom) {
  launchDaemon({"env", "-C", root()}, {"-t", target(), "-h", handlerPath(), "-L", "vellumd.log"});
  ASSERT_GT(pid(), 0);
  ASSERT_TRUE(waitForWatches(1));
  EXPECT_TRUE(waitForLog("Start as daemon..."));
}

// Of several logs, the last that opens is used; one named before it stays empty.
TEST_F(StartupTest, LogsToTheLastLogThatOpens) {
  const std::string first = root() + "/first.log";
  startDaemon(1, {"-L", first, "-t", target(), "-h", handlerPath(), "-L", logPath(), "-L",
                  missingDirectory() + "/third.log"});
  expectFileHandled("a.txt");
  EXPECT_TRUE(waitForLog(callLine(inTree("a.txt"))));
  const std::vector<std::string> messages = logMessages();
  // The warning of the log that did not open is kept in the one that did, before the start.
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Warning: Can't open log file " + missingDirectory() +
                             "/third.log - No such file or directory");
  EXPECT_EQ(messages[1], "Start as daemon...");
  EXPECT_TRUE(exists(first));
  EXPECT_EQ(readWhole(first), "");
  EXPECT_FALSE(exists(missingDirectory()));
}

}  // namespace
}  // namespace vellumd::e2e
