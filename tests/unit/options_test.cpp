// options_test.cpp: the option scan and the log file it opens.
#include "driver/options.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace vellumd {
namespace {

namespace fs = std::filesystem;
using Action = CommandLine::Action;

// Scans `args`, recording every log path handed to the opener, in order.
struct Scan {
  explicit Scan(const std::vector<std::string>& args)
      : line(scanCommandLine(args, [this](const std::string& path) { logs.push_back(path); })) {}
  std::vector<std::string> logs;
  CommandLine line;
};

TEST(ScanCommandLineTest, OptionWithoutValueReportsWhatIsMissing) {
  EXPECT_EQ(Scan({"-t"}).line.failure, "No target specified!!");
  EXPECT_EQ(Scan({"--target"}).line.failure, "No target specified!!");
  EXPECT_EQ(Scan({"-t", "x", "-h"}).line.failure, "No handler specified!!");
  EXPECT_EQ(Scan({"-t", "x", "--handler"}).line.failure, "No handler specified!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-L"}).line.failure, "No log file specified!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--log"}).line.failure, "No log file specified!!");
  // A complete handler followed by a bare -t: the missing value is the target's.
  EXPECT_EQ(Scan({"-h", "y", "-t"}).line.failure, "No target specified!!");
  EXPECT_EQ(Scan({"-t"}).line.action, Action::kFail);
}

TEST(ScanCommandLineTest, TargetIsCheckedBeforeHandlerAfterTheScan) {
  EXPECT_EQ(Scan({}).line.failure, "No target specified!!");
  EXPECT_EQ(Scan({"-h", "y"}).line.failure, "No target specified!!");
  EXPECT_EQ(Scan({"-t", "x"}).line.failure, "No handler specified!!");
  EXPECT_EQ(Scan({"-t", "x"}).line.action, Action::kFail);
  const Scan complete({"-t", "/srv/in", "-h", "/bin/h"});
  EXPECT_EQ(complete.line.action, Action::kRun);
  EXPECT_EQ(complete.line.target, "/srv/in");
  EXPECT_EQ(complete.line.handler, "/bin/h");
}

TEST(ScanCommandLineTest, VersionAnywhereStopsTheScan) {
  EXPECT_EQ(Scan({"-V"}).line.action, Action::kPrintVersion);
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--version"}).line.action, Action::kPrintVersion);
  // Nothing after it is looked at, not even a missing value.
  EXPECT_EQ(Scan({"-V", "-t"}).line.action, Action::kPrintVersion);
  EXPECT_EQ(Scan({"--version", "-L", "late.log"}).logs, std::vector<std::string>{});
  // A log named before it has already been opened.
  const Scan earlyLog({"-L", "early.log", "-V", "-L"});
  EXPECT_EQ(earlyLog.line.action, Action::kPrintVersion);
  EXPECT_EQ(earlyLog.logs, std::vector<std::string>{"early.log"});
}

TEST(ScanCommandLineTest, ValuesAreTakenVerbatimEvenWhenTheyLookLikeOptions) {
  const Scan doubled({"-t", "-h", "-h", "x"});
  EXPECT_EQ(doubled.line.action, Action::kRun);
  EXPECT_EQ(doubled.line.target, "-h");
  EXPECT_EQ(doubled.line.handler, "x");

  const Scan swallowed({"--target", "--log", "--handler", "-V"});
  EXPECT_EQ(swallowed.line.action, Action::kRun);
  EXPECT_EQ(swallowed.line.target, "--log");
  EXPECT_EQ(swallowed.line.handler, "-V");
  EXPECT_TRUE(swallowed.logs.empty());

  EXPECT_EQ(Scan({"-t", " spaced dir/", "-h", "rel/h"}).line.target, " spaced dir");
  EXPECT_EQ(Scan({"-L", "-t", "-t", "x", "-h", "y"}).logs, std::vector<std::string>{"-t"});
}

TEST(ScanCommandLineTest, UnknownArgumentsAndJoinedFormsAreSkipped) {
  const Scan unknown({"foo", "-t", "x", "-X", "-h", "y", "--", "-Q", "-tx", "-H"});
  EXPECT_EQ(unknown.line.action, Action::kRun);
  EXPECT_EQ(unknown.line.target, "x");
  EXPECT_EQ(unknown.line.handler, "y");
  EXPECT_EQ(Scan({"--target=x", "-h", "y"}).line.failure, "No target specified!!");
  EXPECT_EQ(Scan({"-t", "x", "--handler=y"}).line.failure, "No handler specified!!");
  EXPECT_TRUE(Scan({"--log=z", "-t", "x", "-h", "y"}).logs.empty());
}

TEST(ScanCommandLineTest, ForegroundAndJobLimitAreTakenAndABadLimitIsTheFirstError) {
  const Scan scan({"-f", "-t", "x", "-j", "4", "-h", "y", "--jobs", "1000000"});
  EXPECT_TRUE(scan.line.foreground && scan.line.jobs == 1000000u);
  EXPECT_FALSE(Scan({"-t", "x", "-h", "y"}).line.foreground);
  for (const char* bad : {"0", "-1", "+1", " 1", "1e3", "1000001", "99999999999999999999", ""}) {
    EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-j", bad}).line.failure,
              "Invalid value for -j: '" + std::string(bad) + "' (a number from 1 to 1000000)!!");
  }
  EXPECT_EQ(Scan({"--jobs", "\n", "-t"}).line.failure,
            "Invalid value for --jobs: '\\n' (a number from 1 to 1000000)!!");
  // --help, like -V, ends the scan wherever it stands; "-h" stays the handler.
  const Scan help({"-j", "0", "-L", "a", "--help", "-L", "b"});
  EXPECT_EQ(help.line.action, Action::kPrintHelp);
  EXPECT_EQ(help.logs, std::vector<std::string>{"a"});
  EXPECT_EQ(Scan({"-t", "x", "-h", "--help"}).line.handler, "--help");
}

TEST(ScanCommandLineTest, FailureOptionsAreTakenWithinTheirRangesAndRefusedOutside) {
  const Scan scan(
      {"-t", "x", "-h", "y", "-T", "86400", "-r", "100", "--retry-delay", "1", "-E", "0"});
  EXPECT_EQ(scan.line.timeoutSeconds, 86400);
  EXPECT_EQ(scan.line.retries, 100);
  EXPECT_EQ(scan.line.retryDelayMilliseconds, 1);
  EXPECT_EQ(Scan({"-t", "x", "-h", "y"}).line.retryDelayMilliseconds, 1000);
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-T", "0"}).line.failure,
            "Invalid value for -T: '0' (seconds from 1 to 86400)!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--retries", "101"}).line.failure,
            "Invalid value for --retries: '101' (a number from 0 to 100)!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--retry-delay", "3600001"}).line.failure,
            "Invalid value for --retry-delay: '3600001' (milliseconds from 1 to 3600000)!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-E", "-1"}).line.failure,
            "Invalid value for -E: '-1' (a number from 0 to 100)!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-r"}).line.failure, "No retry count specified!!");
}

TEST(ScanCommandLineTest, AMetricsFileIsTakenAndAnEmptyOrMissingOneRefused) {
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--metrics", "/m.prom"}).line.metricsPath, "/m.prom");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-m", ""}).line.failure,
            "Invalid value for -m: '' (a file name, not empty)!!");
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-m"}).line.failure, "No metrics file specified!!");
}

TEST(ScanCommandLineTest, APollIntervalIsTakenWithinItsRangeAndRefusedOutside) {
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--poll", "100"}).line.pollMilliseconds, 100);
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "-p", "86400000"}).line.pollMilliseconds, 86400000);
  EXPECT_EQ(Scan({"-t", "x", "-h", "y"}).line.pollMilliseconds, 0);
  for (const char* bad : {"99", "0", "86400001", "-5", "1s", ""}) {
    EXPECT_EQ(
        Scan({"-t", "x", "-h", "y", "-p", bad}).line.failure,
        "Invalid value for -p: '" + std::string(bad) + "' (milliseconds from 100 to 86400000)!!");
  }
  EXPECT_EQ(Scan({"-t", "x", "-h", "y", "--poll"}).line.failure, "No poll interval specified!!");
}

TEST(ScanCommandLineTest, LaterTargetAndHandlerReplaceEarlierOnes) {
  const Scan scan({"-t", "first", "-h", "h1", "--target", "second", "--handler", "h2"});
  EXPECT_EQ(scan.line.target, "second");
  EXPECT_EQ(scan.line.handler, "h2");
}

// Paths built from the target must be spelt one way: the catch-up finds a directory by the text
// before a path's last slash.
TEST(ScanCommandLineTest, TheTargetIsSpeltOneWayWhateverWayItWasTyped) {
  for (const char* typed : {"/srv/in", "/srv/in/", "/srv//in//", "/srv/in/.", "//srv/./in/./"})
    EXPECT_EQ(Scan({"-t", typed, "-h", "h"}).line.target, "/srv/in") << typed;
  EXPECT_EQ(tidyTarget("/"), "/");
  EXPECT_EQ(tidyTarget("//."), "/");
  EXPECT_EQ(tidyTarget("in/"), "in");
  EXPECT_EQ(tidyTarget("./"), ".");
  EXPECT_EQ(tidyTarget("/a/../b/"), "/a/../b");
}

TEST(ScanCommandLineTest, EveryLogValueIsOpenedInOrderAsItIsScanned) {
  const Scan scan({"-L", "a", "--log", "b", "-t", "x", "-h", "y", "-L", "c"});
  EXPECT_EQ(scan.logs, (std::vector<std::string>{"a", "b", "c"}));
  // Opened at once, so that an error found later can be written to it.
  const Scan failing({"-L", "a", "-t"});
  EXPECT_EQ(failing.line.action, Action::kFail);
  EXPECT_EQ(failing.logs, std::vector<std::string>{"a"});
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vellumd_options_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::string dir_;
};

// On a full file system (a file size limit of 0 fails writes alike) lines are lost, those of a
// batch too; once a log has room, the count comes first. A batch writes nothing until it ends,
// then its lines in order. The handle given out first stays the one to write to whichever file
// opens later.
TEST_F(LogFileTest, LinesLostToAFullFileSystemAreCountedInTheNextLineWritten) {
  LogFile log;
  ASSERT_EQ(log.open(path("full.log")), "");
  std::ostream* const handle = log.handle();
  rlimit unlimited;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const rlimit full{0, unlimited.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  writeLog("one", log.handle());
  {
    LogBatch batch(log.handle());
    writeLog("two", log.handle());
    writeLog("three", log.handle());
  }
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
  ASSERT_EQ(log.open(path("room.log")), "");
  {
    LogBatch batch(log.handle());
    LogBatch nested(log.handle());  // holds nothing: the outer batch has the stream
    writeLog("four", log.handle());
    writeLog("five", log.handle());
    EXPECT_EQ(read(path("room.log")), "");
  }
  const std::string content = read(path("room.log"));
  const size_t lost = content.find(": Log write failed - 3 lines lost\n");
  EXPECT_NE(lost, std::string::npos) << content;
  EXPECT_LT(lost, content.find(": four\n")) << content;
  EXPECT_EQ(content.find(": five\n"), content.size() - 7) << content;
  EXPECT_EQ(log.handle(), handle);
}

}  // namespace
}  // namespace vellumd
