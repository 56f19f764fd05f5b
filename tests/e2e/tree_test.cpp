// tree_test.cpp: the daemon keeps its watches and paths right while directories come, move and go.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

// Stops the daemon for as long as it lives, so that the kernel queues records the daemon reads
// only afterwards; continues it however the test ends.
class Paused {
 public:
  explicit Paused(pid_t pid) : pid_(pid) { EXPECT_EQ(kill(pid_, SIGSTOP), 0); }
  Paused(const Paused&) = delete;
  Paused& operator=(const Paused&) = delete;
  ~Paused() { resume(); }
  void resume() {
    if (pid_ > 0)
      kill(pid_, SIGCONT);
    pid_ = -1;
  }

 private:
  pid_t pid_;  // -1 once continued
};

class TreeTest : public DaemonTest {
 protected:
  bool handledUnder(const std::string& prefix) const {
    auto paths = handled();
    return std::any_of(paths.begin(), paths.end(),
                       [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
  }

  void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(rename(from.c_str(), to.c_str()), 0)
        << from << " -> " << to << ": " << strerror(errno);
  }

  // For logs too long to parse line by line while polling.
  bool rawLogHas(const std::string& text) const {
    return readWhole(logPath()).find(text) != std::string::npos;
  }
};

TEST_F(TreeTest, ACreatedDirectoryRunsNoHandlerAndAFileWrittenInsideIsHandled) {
  startDaemon();
  makeDir("new");
  ASSERT_TRUE(waitForWatches(2));
  writeFile("new/inside.txt", "x");
  ASSERT_TRUE(waitForHandledPath(inTree("new/inside.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("new")), 0);
}

TEST_F(TreeTest, MkdirDashPIsWatchedAtEveryLevelAndAFileAtTheBottomIsHandled) {
  startDaemon();
  makeDir("a/b/c");
  EXPECT_TRUE(waitForWatches(4)) << watchCount() << " watches";
  writeFile("a/b/c/deep.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("a/b/c/deep.txt")));
}

TEST_F(TreeTest, ADirectoryRenamedInsideTheTreeRunsOnceAndLaterFilesBelowCarryTheNewName) {
  makeDir("old/sub");
  startDaemon();
  move(inTree("old"), inTree("new"));
  ASSERT_TRUE(waitForHandledPath(inTree("new")));
  writeFile("new/top.txt", "x");
  writeFile("new/sub/below.txt", "y");
  EXPECT_TRUE(waitForHandledPath(inTree("new/top.txt")));
  EXPECT_TRUE(waitForHandledPath(inTree("new/sub/below.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("new")), 1);
  EXPECT_FALSE(handledUnder(inTree("old")));
  EXPECT_EQ(watchCount(), 3);
}

TEST_F(TreeTest, ADirectoryMovedToAnotherParentRunsOnceAndLaterFilesBelowCarryTheNewPath) {
  makeDir("left/moving/sub");
  makeDir("right");
  startDaemon();
  move(inTree("left/moving"), inTree("right/moved"));
  ASSERT_TRUE(waitForHandledPath(inTree("right/moved")));
  writeFile("right/moved/top.txt", "x");
  writeFile("right/moved/sub/below.txt", "y");
  EXPECT_TRUE(waitForHandledPath(inTree("right/moved/top.txt")));
  EXPECT_TRUE(waitForHandledPath(inTree("right/moved/sub/below.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("right/moved")), 1);
  EXPECT_FALSE(handledUnder(inTree("left/moving")));
  EXPECT_EQ(watchCount(), 5);
}

TEST_F(TreeTest, ADirectoryRenamedWhileTheDaemonLagsStillGivesFilesAlreadyWrittenTheNewPath) {
  makeDir("old");
  startDaemon();
  {
    Paused paused(pid());
    move(inTree("old"), inTree("new"));
    writeFile("new/quick.txt", "written before the daemon read the rename");
  }
  EXPECT_TRUE(waitForHandledPath(inTree("new/quick.txt")));
  settle();
  EXPECT_FALSE(handledUnder(inTree("old")));
}

// The departure of "fresh" is read after a new "fresh" has taken its name: the move must not be
// matched to the newcomer's watch, or the renamed directory would stay unwatched.
TEST_F(TreeTest, ADirectoryCreatedAndRenamedBeforeTheDaemonReadsEitherIsWatchedUnderItsNewName) {
  startDaemon();
  {
    Paused paused(pid());
    makeDir("fresh");
    move(inTree("fresh"), inTree("renamed"));
    makeDir("fresh");
  }
  ASSERT_TRUE(waitForHandledPath(inTree("renamed")));
  EXPECT_TRUE(waitForWatches(3, 3s)) << watchCount() << " watches";
  writeFile("renamed/inside.txt", "x");
  writeFile("fresh/inside.txt", "y");
  EXPECT_TRUE(waitForHandledPath(inTree("renamed/inside.txt"), 3s));
  EXPECT_TRUE(waitForHandledPath(inTree("fresh/inside.txt"), 3s));
  settle();
  EXPECT_EQ(timesHandled(inTree("fresh/inside.txt")), 1);
}

TEST_F(TreeTest, ADirectoryMovedInFromOutsideRunsOnceForItselfAndItsContentsAreWatched) {
  const std::string outside = root() + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((outside + "/sub").c_str(), 0755), 0);
  std::ofstream(outside + "/already.txt") << "x";
  std::ofstream(outside + "/sub/already.txt") << "y";
  startDaemon();
  move(outside, inTree("arrived"));
  ASSERT_TRUE(waitForHandledPath(inTree("arrived")));
  EXPECT_TRUE(waitForWatches(3)) << watchCount() << " watches";
  writeFile("arrived/later.txt", "x");
  writeFile("arrived/sub/later.txt", "y");
  EXPECT_TRUE(waitForHandledPath(inTree("arrived/later.txt")));
  EXPECT_TRUE(waitForHandledPath(inTree("arrived/sub/later.txt")));
  settle();
  EXPECT_EQ(timesHandled(inTree("arrived")), 1);
  EXPECT_EQ(timesHandled(inTree("arrived/already.txt")), 0);
  EXPECT_EQ(timesHandled(inTree("arrived/sub/already.txt")), 0);
}

TEST_F(TreeTest, ADirectoryMovedOutOfTheTreeLosesItsWatchesAndItsFilesAreNoLongerHandled) {
  makeDir("leaving/sub");
  startDaemon();
  const std::string outside = root() + "/gone";
  move(inTree("leaving"), outside);
  EXPECT_TRUE(waitForWatches(1)) << watchCount() << " watches";
  std::ofstream(outside + "/after.txt") << "x";
  std::ofstream(outside + "/sub/after.txt") << "y";
  settle();
  EXPECT_FALSE(handledUnder(inTree("leaving")));
  EXPECT_FALSE(handledUnder(outside));
  EXPECT_TRUE(daemonAlive());
}

TEST_F(TreeTest, RecordsQueuedForADirectoryBeforeItsDepartureIsReadAreLoggedButNotHandled) {
  makeDir("leaving/sub");
  startDaemon();
  const std::string outside = root() + "/gone";
  {
    Paused paused(pid());
    move(inTree("leaving"), outside);
    std::ofstream(outside + "/late.txt") << "x";
    std::ofstream(outside + "/sub/late.txt") << "y";
  }
  // Described under the paths the directories had in the tree, which is all the daemon knows.
  auto described = [&](const std::string& name, const std::string& dir) {
    auto messages = logMessages();
    const std::string tail = " - " + name + " in " + dir + " - IN_CLOSE_WRITE";
    return std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
      return m.size() > tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0;
    });
  };
  EXPECT_TRUE(waitUntil([&] { return described("late.txt", inTree("leaving")); }));
  EXPECT_TRUE(waitUntil([&] { return described("late.txt", inTree("leaving/sub")); }));
  EXPECT_TRUE(waitForWatches(1)) << watchCount() << " watches";
  settle();
  EXPECT_FALSE(handledUnder(inTree("leaving")));
  EXPECT_FALSE(handledUnder(outside));
  EXPECT_TRUE(daemonAlive());
}

TEST_F(TreeTest, ADirectoryMovedOutAndStraightBackInIsWatchedAgain) {
  makeDir("roaming/sub");
  startDaemon();
  const std::string outside = root() + "/away";
  {
    Paused paused(pid());
    move(inTree("roaming"), outside);
    move(outside, inTree("back"));
  }
  ASSERT_TRUE(waitForHandledPath(inTree("back")));
  EXPECT_TRUE(waitForWatches(3)) << watchCount() << " watches";
  writeFile("back/sub/home.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("back/sub/home.txt")));
  EXPECT_TRUE(daemonAlive());
}

// A directory made and removed again, once it is watched or as fast as it can be, leaves the
// watches as they were; files written meanwhile are handled once each. (The registry's side
// of the cycle is the dispatcher's unit test.)
TEST_F(TreeTest, DirectoriesVanishingAsTheyAppearWhileFilesAreWrittenLeaveTheWatchesAsTheyWere) {
  makeDir("keep");
  startDaemon();
  const int before = watchCount();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(mkdir(inTree("blink").c_str(), 0755), 0);
    ASSERT_TRUE(waitForWatches(before + 1)) << "cycle " << i;
    ASSERT_EQ(rmdir(inTree("blink").c_str()), 0);
    ASSERT_TRUE(waitForWatches(before)) << "cycle " << i;
  }
  std::atomic<bool> stop = false;
  std::thread blinker([&] {
    const std::string path = inTree("flicker");
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (mkdir(path.c_str(), 0755) == 0)
        rmdir(path.c_str());
    }
  });
  for (int i = 0; i < 30; ++i)
    writeFile("keep/file-" + std::to_string(i), "x");
  stop = true;
  blinker.join();
  settle();
  EXPECT_TRUE(daemonAlive());
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(timesHandled(inTree("keep/file-" + std::to_string(i))), 1) << i;
  }
  // The line is there only when the daemon lost a race; when it is, it names the directory.
  for (const std::string& message : logMessages()) {
    if (message.rfind("Can't watch", 0) == 0) {
      EXPECT_EQ(message, "Can't watch directory " + inTree("flicker") + " - " + strerror(ENOENT));
    }
  }
  EXPECT_TRUE(waitForWatches(before)) << watchCount() << " watches, " << before << " before";
}

// A name that the kernel reported as a new directory may be something else by the time the
// daemon reads the record; only directories may be watched, or writes to a file would be
// reported twice, once more under a path ending in "/".
TEST_F(TreeTest, ADirectoryReplacedByAFileBeforeItsCreationIsReadIsNotWatched) {
  startDaemon();
  {
    Paused paused(pid());
    ASSERT_EQ(mkdir(inTree("shifty").c_str(), 0755), 0);
    ASSERT_EQ(rmdir(inTree("shifty").c_str()), 0);
    std::ofstream(inTree("shifty")) << "now a file";
  }
  ASSERT_TRUE(waitForHandledPath(inTree("shifty")));
  EXPECT_TRUE(daemonAlive());
  writeFile("shifty", "written again");
  ASSERT_TRUE(waitUntil([&] { return timesHandled(inTree("shifty")) == 2; }));
  settle();
  EXPECT_EQ(timesHandled(inTree("shifty") + "/"), 0) << "the file was handled as a directory too";
  EXPECT_EQ(watchCount(), 1);
}

TEST_F(TreeTest,
       AfterAQueueOverflowTheTreeIsRescannedAndWhatArrivedOrIsStillBeingWrittenIsHandled) {
  const int limit = std::stoi(readWhole("/proc/sys/fs/inotify/max_queued_events"));
  if (limit > 200000)
    GTEST_SKIP() << "max_queued_events is " << limit << ", too many to flood";
  writeFile("ping", "");
  writeFile("pong", "");
  makeDir("first");
  const std::string incoming = root() + "/incoming";
  ASSERT_EQ(mkdir(incoming.c_str(), 0755), 0);
  putFile(incoming + "/old.txt", "written before it moved in");
  // Told from a directory made in place by its birth time, which must be measurably older than
  // the loss: the file system's clock is coarse.
  struct statx born;
  ASSERT_EQ(statx(AT_FDCWD, incoming.c_str(), 0, STATX_BTIME, &born), 0);
  const auto bornAt = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(born.stx_btime.tv_sec) +
          std::chrono::nanoseconds(born.stx_btime.tv_nsec)));
  waitUntil([&] { return std::chrono::system_clock::now() > bornAt + 100ms; });
  startDaemon();
  // Its creation and first write are read before the overflow.
  const int writerFd = open(inTree("pending.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(writerFd, 0);
  ASSERT_EQ(write(writerFd, "part", 4), 4);
  ASSERT_TRUE(
      waitUntil([&] { return rawLogHas("pending.txt in " + target() + " - IN_MODIFY\n"); }));
  {
    Paused paused(pid());
    // Alternating names keep the kernel from merging the records.
    for (int i = 0; i <= limit + 10; ++i) {
      chmod(inTree(i % 2 ? "ping" : "pong").c_str(), i % 4 < 2 ? 0644 : 0600);
    }
    // Created, moved in and renamed after the queue is full: only a rescan can find these. The
    // directories that arrived get the runs their records would have given them.
    makeDir("x/y/z");
    move(incoming, inTree("incoming"));
    move(inTree("first"), inTree("renamed"));
  }
  ASSERT_TRUE(waitUntil([&] { return rawLogHas(" - IN_Q_OVERFLOW\n"); }, 30s));
  EXPECT_TRUE(waitForWatches(6, 30s)) << watchCount() << " watches";
  EXPECT_TRUE(waitForHandledPath(inTree("incoming"), 30s));
  EXPECT_TRUE(waitForHandledPath(inTree("renamed"), 30s));
  writeFile("x/y/z/found.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("x/y/z/found.txt"), 30s));
  // No write since the overflow: only the mask kept through the rescan makes this close count.
  close(writerFd);
  EXPECT_TRUE(waitForHandledPath(inTree("pending.txt"), 30s));
  settle();
  for (const char* path : {"incoming", "renamed", "pending.txt"})
    EXPECT_EQ(timesHandled(inTree(path)), 1) << path;
  EXPECT_EQ(timesHandled(inTree("incoming/old.txt")), 0);
  EXPECT_TRUE(daemonAlive());
}

// When the queue fills up between the two halves of a rename, the daemon sees the departure but
// never the arrival; the rescan finds the directory under its new name. A later ordinary rename
// of it must not be mistaken for a move out of the tree on account of the half left behind.
TEST_F(TreeTest, ADirectoryWhoseRenameWasCutShortByAnOverflowStaysWatchedThroughItsNextRename) {
  const int limit = std::stoi(readWhole("/proc/sys/fs/inotify/max_queued_events"));
  if (limit > 200000)
    GTEST_SKIP() << "max_queued_events is " << limit << ", too many to flood";
  writeFile("ping", "");
  writeFile("pong", "");
  makeDir("first");
  startDaemon();
  settle();
  {
    Paused paused(pid());
    // The queue is empty: after limit - 1 records the departure takes the last place and the
    // arrival finds the queue full.
    for (int i = 0; i < limit - 1; ++i) {
      chmod(inTree(i % 2 ? "ping" : "pong").c_str(), i % 4 < 2 ? 0644 : 0600);
    }
    move(inTree("first"), inTree("second"));
  }
  ASSERT_TRUE(waitUntil([&] { return rawLogHas(" - IN_Q_OVERFLOW\n"); }, 30s));
  writeFile("second/rescanned.txt", "x");
  ASSERT_TRUE(waitForHandledPath(inTree("second/rescanned.txt"), 30s));
  move(inTree("second"), inTree("third"));
  ASSERT_TRUE(waitForHandledPath(inTree("third"), 30s));
  writeFile("third/still-watched.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("third/still-watched.txt"), 5s));
  EXPECT_EQ(watchCount(), 2);
  EXPECT_TRUE(daemonAlive());
}

}  // namespace
}  // namespace vellumd::e2e
