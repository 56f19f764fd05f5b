// scan_test.cpp: the scan at start-up over real trees: depth, names, links, loops and failures.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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
};

// Every level is watched, hidden directories too, depth first: a directory is read, and its
// subdirectories watched, before its next sibling. Records below carry whole paths.
TEST_F(ScanTest, WatchesEveryLevelDepthFirstAndReportsWholePaths) {
  makeDir("a/b");
  makeDir("c/d");
  makeDir(".hidden/.deeper");
  startDaemon(7);
  for (const char* file : {"a/f", "a/b/f", "c/f", "c/d/f", ".hidden/f", ".hidden/.deeper/f"})
    writeFile(file, "x");
  const int a = closeWriteDescriptor("f", inTree("a"));
  const int b = closeWriteDescriptor("f", inTree("a/b"));
  const int c = closeWriteDescriptor("f", inTree("c"));
  const int d = closeWriteDescriptor("f", inTree("c/d"));
  const int hidden = closeWriteDescriptor("f", inTree(".hidden"));
  const int deeper = closeWriteDescriptor("f", inTree(".hidden/.deeper"));
  // The target is 1; each top directory is followed at once by its child.
  EXPECT_EQ(std::set<int>({a, c, hidden}), std::set<int>({2, 4, 6}));
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(d, c + 1);
  EXPECT_EQ(deeper, hidden + 1);
  for (const char* file : {"a/b/f", "c/d/f", ".hidden/.deeper/f"})
    EXPECT_TRUE(waitForHandledPath(inTree(file))) << file;
}

// A target typed with a trailing slash is spelt without it, in its own records as in the paths
// joined below it.
TEST_F(ScanTest, JoinsNamesWithOneSlashBelowATargetTypedWithATrailingSlash) {
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

// A target that is missing, or not a directory, at the start is waited for: looked for once a
// second, and watched as at any start once it is a directory.
TEST_F(ScanTest, ATargetMissingAtTheStartIsWatchedOnceItAppears) {
  const std::string later = root() + "/later";
  std::ofstream(later) << "a plain file for now";
  startDaemon(0, {"-t", later, "-h", handlerPath(), "-L", logPath()});
  EXPECT_TRUE(logContains("Warning: Target " + later +
                          " is not a directory (Not a directory) - waiting for it"));
  ASSERT_EQ(unlink(later.c_str()), 0);
  ASSERT_EQ(mkdir(later.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((later + "/sub").c_str(), 0755), 0);
  EXPECT_TRUE(waitForLog("Target " + later + " appeared - watching it"));
  EXPECT_TRUE(waitForWatches(2));
  putFile(later + "/sub/f", "x");
  EXPECT_TRUE(waitForHandledPath(later + "/sub/f"));
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

// Links back up the tree, to the target, to an ancestor or to each other, must not send the scan
// round in circles nor add a watch: every directory is watched once, files handled below each.
TEST_F(ScanTest, SurvivesLinksBackUpTheTreeAndInACycle) {
  makeDir("a");
  makeLink("a/top", target());
  makeLink("a/top-relative", "..");
  makeDir("b/c/d");
  makeLink("b/c/d/up", "../..");
  makeLink("b/c/d/abs", inTree("b"));
  makeDir("x");
  makeDir("y");
  makeLink("x/l1", inTree("y"));
  makeLink("y/l2", "../x");
  startDaemon(7);
  for (const char* file : {"g", "a/f", "b/g", "b/c/d/f", "x/f", "y/g"})
    writeFile(file, "x");
  for (const char* file : {"g", "a/f", "b/g", "b/c/d/f", "x/f", "y/g"})
    EXPECT_TRUE(waitForHandledFile(file)) << file;
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 7);
}

}  // namespace
}  // namespace vellumd::e2e
