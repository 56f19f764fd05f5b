// scan_test.cpp: the scan at start-up over real trees: depth, names, links, loops and failures.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

class ScanTest : public DaemonTest {
 protected:
  void makeLink(const std::string& relative, const std::string& pointsTo) {
    ASSERT_EQ(symlink(pointsTo.c_str(), inTree(relative).c_str()), 0) << relative;
  }

  // The watch descriptor of the first close-after-write record for `name` in directory `dir`.
  int closeWriteDescriptor(const std::string& name, const std::string& dir) {
    const std::regex record("Inotify event for ([0-9]+)\\(cookie:0\\) - " + name + " in " + dir +
                            " - IN_CLOSE_WRITE");
    int wd = -1;
    waitUntil([&] {
      for (const std::string& message : logMessages()) {
        std::smatch match;
        if (std::regex_match(message, match, record)) {
          wd = std::stoi(match[1]);
          return true;
        }
      }
      return false;
    });
    return wd;
  }

  // True when the handler ran for a path that names the same file as inTree(relative), by
  // whichever chain of names, links included, the daemon knows its directory.
  bool waitForHandledFile(const std::string& relative) {
    return waitUntil([&] {
      for (const std::string& path : handled()) {
        std::error_code error;
        if (fs::equivalent(path, inTree(relative), error))
          return true;
      }
      return false;
    });
  }

  // Waits a short while for the log to grow past `count` messages; true when it stayed put.
  bool logStaysAt(size_t count) {
    return !waitUntil([&] { return logMessages().size() > count; }, 300ms);
  }
};

// A tree of depth three gets one watch per level, and events below are reported with whole paths.
TEST_F(ScanTest, WatchesEveryLevelOfADeepTreeAndReportsWholePaths) {
  makeDir("a/b");
  startDaemon(3);
  writeFile("a/b/f", "x");
  writeFile("a/g", "x");
  // The watches were added target first, then a, then b.
  EXPECT_TRUE(
      waitForLog("Inotify event for 3(cookie:0) - f in " + inTree("a/b") + " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(
      waitForLog("Inotify event for 2(cookie:0) - g in " + inTree("a") + " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(waitForHandledPath(inTree("a/b/f")));
  EXPECT_TRUE(waitForHandledPath(inTree("a/g")));
}

// Depth first: a directory is read, and its subdirectories watched, before its next sibling.
TEST_F(ScanTest, WatchesDepthFirstInReaddirOrder) {
  makeDir("a/b");
  makeDir("c/d");
  startDaemon(5);
  for (const char* file : {"a/f", "a/b/f", "c/f", "c/d/f"})
    writeFile(file, "x");
  const int a = closeWriteDescriptor("f", inTree("a"));
  const int b = closeWriteDescriptor("f", inTree("a/b"));
  const int c = closeWriteDescriptor("f", inTree("c"));
  const int d = closeWriteDescriptor("f", inTree("c/d"));
  EXPECT_EQ(std::set<int>({a, c}), std::set<int>({2, 4}));
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(d, c + 1);
}

TEST_F(ScanTest, WatchesHiddenDirectories) {
  makeDir(".hidden/.deeper");
  startDaemon(3);
  writeFile(".hidden/.deeper/f", "x");
  EXPECT_TRUE(waitForLog("Inotify event for 3(cookie:0) - f in " + inTree(".hidden/.deeper") +
                         " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(waitForHandledPath(inTree(".hidden/.deeper/f")));
}

// A target typed with a trailing slash is spelt without it, in its own records as in the paths
// joined below it.
TEST_F(ScanTest, JoinsNamesWithOneSlashBelowATargetWithATrailingSlash) {
  makeDir("sub");
  startDaemon(2, {"-t", target() + "/", "-h", handlerPath(), "-L", logPath()});
  writeFile("sub/f", "x");
  writeFile("top", "x");
  EXPECT_TRUE(
      waitForLog("Inotify event for 2(cookie:0) - f in " + inTree("sub") + " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(
      waitForLog("Inotify event for 1(cookie:0) - top in " + target() + " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(waitForHandledPath(inTree("sub/f")));
  EXPECT_TRUE(waitForHandledPath(inTree("top")));
}

// The daemon works in "/", so a relative target names a directory below the root. Paths keep
// the target as it was given.
TEST_F(ScanTest, WatchesARelativeTargetBelowTheRootDirectory) {
  makeDir("sub");
  const std::string relative = target().substr(1);
  startDaemon(2, {"-t", relative, "-h", handlerPath(), "-L", logPath()});
  writeFile("sub/f", "x");
  writeFile("top", "x");
  EXPECT_TRUE(
      waitForLog("Inotify event for 2(cookie:0) - f in " + relative + "/sub - IN_CLOSE_WRITE"));
  EXPECT_TRUE(
      waitForLog("Inotify event for 1(cookie:0) - top in " + relative + " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(waitForHandledPath(relative + "/sub/f"));
  EXPECT_TRUE(waitForHandledPath(relative + "/top"));
}

TEST_F(ScanTest, FollowsALinkToADirectoryOutsideTheTree) {
  const std::string outside = root() + "/outside";
  fs::create_directories(outside + "/deep");
  makeLink("link", outside);
  startDaemon(3);
  {
    std::ofstream(outside + "/f") << "x";
    std::ofstream(outside + "/deep/g") << "x";
  }
  EXPECT_TRUE(
      waitForLog("Inotify event for 2(cookie:0) - f in " + inTree("link") + " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(waitForLog("Inotify event for 3(cookie:0) - g in " + inTree("link/deep") +
                         " - IN_CLOSE_WRITE"));
  EXPECT_TRUE(waitForHandledPath(inTree("link/f")));
  EXPECT_TRUE(waitForHandledPath(inTree("link/deep/g")));
}

// The kernel hands out one descriptor per directory: reached directly and through a link, a
// directory is watched once and known under one of its two names.
TEST_F(ScanTest, WatchesADirectoryReachedTwiceOnce) {
  makeDir("real/below");
  makeLink("alias", inTree("real"));
  startDaemon(3);
  writeFile("real/f", "x");
  writeFile("real/below/g", "x");
  EXPECT_TRUE(waitForHandledFile("real/f"));
  EXPECT_TRUE(waitForHandledFile("real/below/g"));
  EXPECT_EQ(watchCount(), 3);
}

// A missing target is no error: the daemon idles, watching nothing, even once the path appears.
TEST_F(ScanTest, IdlesWhenTheTargetIsMissing) {
  const std::string missing = root() + "/missing";
  startDaemon(0, {"-t", missing, "-h", handlerPath(), "-L", logPath()});
  ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
  std::ofstream(missing + "/f") << "x";
  EXPECT_TRUE(logStaysAt(1));
  EXPECT_EQ(logMessages(), std::vector<std::string>{"Start as daemon..."});
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 0);
}

TEST_F(ScanTest, IdlesWhenTheTargetIsARegularFile) {
  const std::string file = root() + "/plain";
  std::ofstream(file) << "x";
  startDaemon(0, {"-t", file, "-h", handlerPath(), "-L", logPath()});
  std::ofstream(file, std::ios::app) << "more";
  chmod(file.c_str(), 0600);
  EXPECT_TRUE(logStaysAt(1));
  EXPECT_EQ(logMessages(), std::vector<std::string>{"Start as daemon..."});
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 0);
}

// Root reads every directory, so the daemon runs as nobody here, and the subdirectory is closed
// to it.
TEST_F(ScanTest, EndsWhenASubdirectoryCannotBeRead) {
  makeDir("open/locked");
  ASSERT_EQ(chmod(inTree("open/locked").c_str(), 0700), 0);
  const uid_t nobody = 65534;
  std::ofstream(logPath()).close();
  ASSERT_EQ(chown(logPath().c_str(), nobody, nobody), 0);
  ProcessResult launched =
      launchDaemon({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                   {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  // The launcher waits for the scan, and passes its failure on.
  EXPECT_EQ(launched.status, 3);
  EXPECT_EQ(launched.err, "Error: Unknown error\n");
  EXPECT_TRUE(waitForLog("Error: Unknown error"));
  EXPECT_TRUE(waitForExit());
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"Start as daemon...", "Error: Unknown error"}));
}

// A link back to the target must not send the scan round in circles.
TEST_F(ScanTest, SurvivesALinkBackToTheTarget) {
  makeDir("a");
  makeLink("a/top", target());
  makeLink("a/top-relative", "..");
  startDaemon(2);
  writeFile("a/f", "x");
  writeFile("g", "x");
  EXPECT_TRUE(waitForHandledFile("a/f"));
  EXPECT_TRUE(waitForHandledFile("g"));
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 2);
}

TEST_F(ScanTest, SurvivesLinksToAnIntermediateAncestor) {
  makeDir("a/b/c");
  makeLink("a/b/c/up", "../..");
  makeLink("a/b/c/abs", inTree("a"));
  startDaemon(4);
  writeFile("a/b/c/f", "x");
  writeFile("a/g", "x");
  EXPECT_TRUE(waitForHandledFile("a/b/c/f"));
  EXPECT_TRUE(waitForHandledFile("a/g"));
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 4);
}

TEST_F(ScanTest, SurvivesTwoLinksFormingACycle) {
  makeDir("a");
  makeDir("b");
  makeLink("a/l1", inTree("b"));
  makeLink("b/l2", inTree("a"));
  startDaemon(3);
  writeFile("a/f", "x");
  writeFile("b/g", "x");
  EXPECT_TRUE(waitForHandledFile("a/f"));
  EXPECT_TRUE(waitForHandledFile("b/g"));
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 3);
}

}  // namespace
}  // namespace vellumd::e2e
