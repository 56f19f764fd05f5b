// robustness_test.cpp: the daemon keeps going, and keeps its bookkeeping right, when records queue
// up behind a stopped daemon, the queue overflows, names lead nowhere and links lose their way in.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

void move(const std::string& from, const std::string& to) {
  ASSERT_EQ(rename(from.c_str(), to.c_str()), 0) << from << " -> " << to << ": " << strerror(errno);
}

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) == nullptr ? "" : resolved;
}

class RobustnessTest : public DaemonTest {
 protected:
  // The log is read raw: an overflow makes it tens of thousands of lines long.
  std::string rawLog() const { return readWhole(logPath()); }
  bool waitForText(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    return waitUntil([&] { return rawLog().find(text) != std::string::npos; }, timeout);
  }
  // The log's description of a record for `name` inside `directory` (an absolute path).
  static std::string recordText(const std::string& name, const std::string& directory,
                                const std::string& flags) {
    return " - " + name + " in " + directory + " - " + flags + "\n";
  }
  size_t callCount() const { return occurrences(rawLog(), ": Call handler "); }

  // Returns once every record queued so far has been dispatched and every handler run decided so
  // far has recorded itself: records are dispatched in order, so a marker written now is handled
  // after all of them. A later check that something did not run is then conclusive.
  void settle() {
    const std::string marker = inTree("settle-" + std::to_string(++settles_));
    putFile(marker, "");
    ASSERT_TRUE(waitForText(": " + callLine(marker) + "\n")) << marker << " was never handled";
    ASSERT_TRUE(waitUntil([&] { return handled().size() == callCount(); }))
        << handled().size() << " recorded, " << callCount() << " calls logged";
  }

  // Fills the kernel's queue beyond `records` with records that run no handler: the creation and
  // removal of a file that is never written. Alternating, they are never merged.
  void floodQueue(int records) {
    const std::string path = inTree("flood");
    for (int i = 0; i < records; i += 2) {
      int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
      ASSERT_GE(fd, 0) << strerror(errno);
      close(fd);
      ASSERT_EQ(unlink(path.c_str()), 0) << strerror(errno);
    }
  }

  // The handler's arguments whose last component is `name`.
  std::vector<std::string> handledNamed(const std::string& name) const {
    std::vector<std::string> found;
    for (const std::string& path : handled()) {
      if (path == name || (path.size() > name.size() && path.ends_with("/" + name)))
        found.push_back(path);
    }
    return found;
  }

  // Explains what is wrong with `path` as the handler's argument for a file inside the tree; ""
  // when it is an absolute path to an existing file that lies in the tree.
  std::string misplaced(const std::string& path) const {
    if (path.empty() || path.front() != '/')
      return "not an absolute path: " + path;
    const std::string resolved = realPath(path);
    if (resolved.empty() || !fs::is_regular_file(resolved))
      return "no file there: " + path;
    if (!resolved.starts_with(realPath(target()) + "/"))
      return "outside the tree: " + path + " (" + resolved + ")";
    return "";
  }

  // Builds, in the tree, a directory "links" holding the link "l" to the directory "real", and
  // moves it in while the daemon runs: the move's scan reaches "real" last through the link, so
  // the daemon knows "real" only by "links/l" until that way in changes.
  void reachRealOnlyThroughALink() {
    makeDir("real");
    startDaemon();
    const std::string staged = root() + "/staged";
    ASSERT_EQ(mkdir(staged.c_str(), 0755), 0);
    ASSERT_EQ(symlink("../real", (staged + "/l").c_str()), 0);
    move(staged, inTree("links"));
    ASSERT_TRUE(waitForHandledPath(inTree("links")));
    ASSERT_TRUE(waitForWatches(3));
    putFile(inTree("real/probe"), "");
    ASSERT_TRUE(waitForHandledPath(inTree("links/l/probe")))
        << "\"real\" is not known through the link: the test shows nothing";
  }

 private:
  int settles_ = 0;
};

TEST_F(RobustnessTest, AFileBeingWrittenInADirectoryRenamedDuringAnOverflowIsHandledAtItsClose) {
  const int limit = std::stoi(readWhole("/proc/sys/fs/inotify/max_queued_events"));
  if (limit > 200000)
    GTEST_SKIP() << "max_queued_events is " << limit << ", too many to flood";
  makeDir("a");
  startDaemon();
  OpenFile file(inTree("a/w"));
  file.write("written before the overflow");
  ASSERT_TRUE(waitForText(recordText("w", inTree("a"), "IN_MODIFY")));
  pauseDaemon();
  floodQueue(limit + 100);
  // Lost with the overflow: the rescan finds the directory under its new name.
  move(inTree("a"), inTree("b"));
  resumeDaemon();
  ASSERT_TRUE(waitForText(" - IN_Q_OVERFLOW\n", 30s));
  putFile(inTree("b/probe"), "");
  ASSERT_TRUE(waitForHandledPath(inTree("b/probe"), 20s));
  // Nothing was written since the rescan: only what the daemon kept of the writing before it
  // makes this close count.
  file.close();
  ASSERT_TRUE(waitForHandledPath(inTree("b/w"))) << "the close of b/w ran no handler";
  settle();
  EXPECT_EQ(timesHandled(inTree("b/w")), 1);
  EXPECT_EQ(timesHandled(inTree("a/w")), 0);
  EXPECT_EQ(watchCount(), 2);
}

TEST_F(RobustnessTest, FilesRenamedIntoPlaceBeforeTheLookFoundThemRunOnceThoughTheirArrivalsWait) {
  // The daemon stops itself in its look into the new directory "held", on opening held/stop-here:
  // held/sub is watched by then and not yet looked into, for held's look comes first. What is
  // done in held/sub meanwhile is queued, and the look into it finds the outcome.
  startDaemon(-1, {}, withFaults({"VELLUMD_FAULT_STOP_AT=stop-here"}));
  pauseDaemon();
  makeDir("held/sub");
  putFile(inTree("held/stop-here"), "not empty, so that the look opens it");
  resumeDaemon();
  ASSERT_TRUE(waitForStopAt(inTree("held/stop-here"))) << "the daemon did not stop in its look";
  ASSERT_EQ(watchCount(), 3) << "held/sub was not watched before the look";
  // Written the way rsync writes: under a temporary name, then renamed into place. The look
  // finds every final name complete, and the arrivals are queued before its mark.
  const std::string sub = inTree("held/sub");
  for (int n = 0; n < 100; ++n) {
    const std::string name = std::to_string(n);
    putFile(sub + "/.tmp" + name, "contents of " + name);
    move(sub + "/.tmp" + name, sub + "/f" + name);
  }
  resumeDaemon();
  ASSERT_TRUE(waitForText(recordText("f99", sub, "IN_MOVED_TO"), 20s));
  settle();
  const std::string log = rawLog();
  int wrong = 0;
  for (int n = 0; n < 100; ++n) {
    const std::string name = "f" + std::to_string(n);
    const std::string path = sub + "/" + name;
    // The look handled it before the arrival was read: the arrival is of the same completion.
    const size_t look = log.find(": " + callLine(path) + "\n");
    const size_t arrival = log.find(recordText(name, sub, "IN_MOVED_TO"));
    if ((timesHandled(path) != 1 || look == std::string::npos || look > arrival) && ++wrong <= 10) {
      ADD_FAILURE() << timesHandled(path) << " runs for " << path << "; the look's call "
                    << (look < arrival ? "came before" : "did not come before") << " the arrival";
    }
  }
  EXPECT_EQ(wrong, 0);
  // A later rename into place is a new completion.
  putFile(sub + "/.tmp0", "second version");
  move(sub + "/.tmp0", sub + "/f0");
  ASSERT_TRUE(waitUntil([&] { return timesHandled(sub + "/f0") == 2; }));
  settle();
  EXPECT_EQ(timesHandled(sub + "/f0"), 2);
}

TEST_F(RobustnessTest, FilesWrittenAndRenamedIntoManyNewDirectoriesRunTheHandlerOnceEach) {
  startDaemon();
  constexpr int kDirectories = 20;
  constexpr int kFiles = 50;
  // Every fourth directory is filled while the daemon is stopped, so that only its look finds the
  // files. The others race the daemon: some renames fall between a directory's watch and the look
  // into it, which then finds the final name complete while its arrival is still queued.
  for (int d = 0; d < kDirectories; ++d) {
    const bool stopped = d % 4 == 0;
    if (stopped)
      pauseDaemon();
    const std::string dir = inTree("d" + std::to_string(d));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (int n = 0; n < kFiles; ++n) {
      const std::string name = std::to_string(n);
      putFile(dir + "/.tmp" + name, "contents of " + name);
      move(dir + "/.tmp" + name, dir + "/f" + name);
    }
    if (stopped)
      resumeDaemon();
  }
  ASSERT_TRUE(waitForWatches(1 + kDirectories));
  settle();
  // A temporary name may be handled too, when its close was read before its rename: it was
  // complete then. The final names run exactly once each.
  std::map<std::string, int> runs;
  for (const std::string& path : handled())
    ++runs[path];
  int wrong = 0;
  for (int d = 0; d < kDirectories; ++d) {
    for (int n = 0; n < kFiles; ++n) {
      const std::string path = inTree("d" + std::to_string(d) + "/f" + std::to_string(n));
      if (runs[path] != 1 && ++wrong <= 10)
        ADD_FAILURE() << runs[path] << " runs for " << path;
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(RobustnessTest, ADirectoryNameThatTurnedIntoALinkToItselfIsLoggedAndSkipped) {
  startDaemon();
  pauseDaemon();
  // Read after all this, the creation names a link that leads only to itself.
  ASSERT_EQ(mkdir(inTree("d").c_str(), 0755), 0);
  ASSERT_EQ(rmdir(inTree("d").c_str()), 0);
  ASSERT_EQ(symlink("d", inTree("d").c_str()), 0);
  resumeDaemon();
  EXPECT_TRUE(
      waitForLog("Can't watch directory " + inTree("d") + " - " + std::string(strerror(ELOOP))))
      << (daemonAlive() ? "the daemon runs" : "the daemon ended");
  settle();
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 1);
}

TEST_F(RobustnessTest, ADirectoryWhosePathIsLongerThanPathMaxIsLoggedAndSkipped) {
  startDaemon();
  // Fifteen levels of 255-byte names keep the deepest directory's path under PATH_MAX; a name
  // below it takes a path beyond. Made while the daemon is stopped, the levels are found by its
  // scan of the new top directory, which cannot reach anything deeper.
  std::string deepest = target();
  pauseDaemon();
  for (int level = 0; level < 15; ++level) {
    deepest += "/" + std::string(255, static_cast<char>('a' + level));
    ASSERT_EQ(mkdir(deepest.c_str(), 0755), 0) << strerror(errno);
  }
  const int deepestFd = open(deepest.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(deepestFd, 0) << strerror(errno);
  const std::string tooLong(255, 'y');
  EXPECT_EQ(mkdirat(deepestFd, tooLong.c_str(), 0755), 0) << strerror(errno);
  resumeDaemon();
  EXPECT_TRUE(waitForWatches(16)) << watchCount() << " watches";
  settle();
  EXPECT_TRUE(daemonAlive());
  // Now the deepest directory is watched: the creation of another one below it is read, and
  // watching it fails.
  const std::string alsoTooLong(255, 'z');
  EXPECT_EQ(mkdirat(deepestFd, alsoTooLong.c_str(), 0755), 0) << strerror(errno);
  close(deepestFd);
  EXPECT_TRUE(waitForText(": Can't watch directory " + deepest + "/" + alsoTooLong + " - " +
                          strerror(ENAMETOOLONG) + "\n"))
      << (daemonAlive() ? "the daemon runs" : "the daemon ended");
  settle();
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(watchCount(), 16);
  // The one made while the daemon was stopped was found by the scan of the new chain, and
  // skipped with its line too.
  EXPECT_EQ(occurrences(rawLog(), "Can't watch directory " + deepest + "/" + tooLong + " - "), 1u);
}

TEST_F(RobustnessTest, AfterTheLinkToADirectoryMovesOutFilesWrittenThereAreHandledInTheTree) {
  reachRealOnlyThroughALink();
  move(inTree("links"), root() + "/away");
  putFile(inTree("real/f"), "written after the link left");
  ASSERT_TRUE(waitUntil([&] { return !handledNamed("f").empty(); }))
      << "files in real are no longer handled";
  settle();
  const std::vector<std::string> runs = handledNamed("f");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(misplaced(runs.front()), "");
  EXPECT_EQ(runs.front(), inTree("real/f"));
  // The daemon found the way that remains, and keeps it.
  putFile(inTree("real/g"), "");
  ASSERT_TRUE(waitForHandledPath(inTree("real/g")));
  EXPECT_TRUE(waitForWatches(2)) << watchCount() << " watches";
  EXPECT_TRUE(daemonAlive());
}

TEST_F(RobustnessTest, AfterTheLinkToADirectoryIsRemovedFilesWrittenThereGetAnAbsolutePath) {
  reachRealOnlyThroughALink();
  ASSERT_EQ(unlink(inTree("links/l").c_str()), 0);
  ASSERT_EQ(rmdir(inTree("links").c_str()), 0);
  putFile(inTree("real/f"), "written after the link was removed");
  ASSERT_TRUE(waitUntil([&] { return !handledNamed("f").empty(); }))
      << "files in real are no longer handled";
  settle();
  const std::vector<std::string> runs = handledNamed("f");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(misplaced(runs.front()), "");
  EXPECT_EQ(runs.front(), inTree("real/f"));
  EXPECT_TRUE(waitForWatches(2)) << watchCount() << " watches";
  EXPECT_TRUE(daemonAlive());
}

TEST_F(RobustnessTest, ADirectoryMadeInsideALinkedDirectoryOutsideTheTreeIsWatchedThroughTheLink) {
  const std::string outside = root() + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(symlink("../outside", inTree("l").c_str()), 0);
  startDaemon(2);
  ASSERT_EQ(mkdir((outside + "/new").c_str(), 0755), 0);
  ASSERT_TRUE(waitForWatches(3)) << watchCount() << " watches";
  putFile(outside + "/new/f", "");
  putFile(outside + "/g", "");
  EXPECT_TRUE(waitForHandledPath(inTree("l/new/f")));
  EXPECT_TRUE(waitForHandledPath(inTree("l/g")));
  settle();
  EXPECT_EQ(timesHandled(inTree("l/new/f")), 1);
  EXPECT_EQ(timesHandled(inTree("l/new")), 0);
}

}  // namespace
}  // namespace vellumd::e2e
