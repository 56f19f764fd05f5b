// event_log_test.cpp: the log line the daemon writes for each wake-up and each inotify record.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

class EventLogTest : public DaemonTest {
 protected:
  // "Inotify event for WD(cookie:0) - " followed by `rest`.
  static std::string record(int wd, const std::string& rest) {
    return "Inotify event for " + std::to_string(wd) + "(cookie:0) - " + rest;
  }

  // Position of the first message equal to `message` at or after `from`; -1 when absent.
  int indexOf(const std::string& message, size_t from = 0) const {
    const std::vector<std::string> messages = logMessages();
    for (size_t i = from; i < messages.size(); ++i) {
      if (messages[i] == message)
        return static_cast<int>(i);
    }
    return -1;
  }

  // Waits for every message in `expected` and checks that they were logged in that order.
  void expectLoggedInOrder(const std::vector<std::string>& expected) {
    for (const std::string& message : expected) {
      ASSERT_TRUE(waitForLog(message)) << "never logged: " << message;
    }
    int previous = -1;
    for (const std::string& message : expected) {
      int index = indexOf(message, static_cast<size_t>(previous + 1));
      EXPECT_GT(index, previous) << "out of order: " << message << "\n"
                                 << ::testing::PrintToString(logMessages());
      if (index > previous)
        previous = index;
    }
  }

  // Creates `relative`, writes to it once and closes it, each step a system call of its own.
  void createWriteClose(const std::string& relative) {
    int fd = open(inTree(relative).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << relative;
    EXPECT_EQ(write(fd, "hello", 5), 5);
    close(fd);
  }
};

TEST_F(EventLogTest, DescribesAFileCreatedWrittenClosedAndDeleted) {
  startDaemon(1);
  createWriteClose("a.txt");
  const std::string suffix = "a.txt in " + target() + " - ";
  expectLoggedInOrder({record(1, suffix + "IN_CREATE"), record(1, suffix + "IN_MODIFY"),
                       record(1, suffix + "IN_CLOSE_WRITE")});
  ASSERT_EQ(unlink(inTree("a.txt").c_str()), 0);
  EXPECT_TRUE(waitForLog(record(1, suffix + "IN_DELETE")));
}

TEST_F(EventLogTest, DescribesADirectoryCreated) {
  startDaemon(1);
  makeDir("sub");
  EXPECT_TRUE(waitForLog(record(1, "sub in " + target() + " - IN_CREATE|IN_ISDIR")));
  EXPECT_TRUE(waitForWatches(2));
}

// The directory's own record comes before the kernel drops its watch. Where the parent's record
// falls is the kernel's choice: recent kernels queue it after the other two.
TEST_F(EventLogTest, DescribesAWatchedDirectoryRemoved) {
  makeDir("sub");
  startDaemon(2);
  ASSERT_EQ(rmdir(inTree("sub").c_str()), 0);
  EXPECT_TRUE(waitForLog(record(1, "sub in " + target() + " - IN_DELETE|IN_ISDIR")));
  expectLoggedInOrder({record(2, inTree("sub") + " - IN_DELETE_SELF"), record(2, "IN_IGNORED")});
  EXPECT_TRUE(waitForWatches(1));
  EXPECT_TRUE(daemonAlive());
}

// Both halves of a move carry one non-zero cookie, each with its own directory's path.
TEST_F(EventLogTest, GivesBothHalvesOfAMoveTheSameCookie) {
  makeDir("sub");
  writeFile("a.txt", "x");
  startDaemon(2);
  ASSERT_EQ(rename(inTree("a.txt").c_str(), inTree("sub/b.txt").c_str()), 0);
  const std::regex from("Inotify event for 1\\(cookie:([0-9]+)\\) - a\\.txt in " + target() +
                        " - IN_MOVED_FROM");
  const std::regex to("Inotify event for 2\\(cookie:([0-9]+)\\) - b\\.txt in " + inTree("sub") +
                      " - IN_MOVED_TO");
  std::string fromCookie;
  std::string toCookie;
  EXPECT_TRUE(waitUntil([&] {
    for (const std::string& message : logMessages()) {
      std::smatch match;
      if (std::regex_match(message, match, from))
        fromCookie = match[1];
      if (std::regex_match(message, match, to))
        toCookie = match[1];
    }
    return !fromCookie.empty() && !toCookie.empty();
  })) << "missing half of the move";
  EXPECT_NE(fromCookie, "0");
  EXPECT_EQ(fromCookie, toCookie);
}

// The watched directory moves inside the tree: the move itself, then the directory's own record
// under its new path.
TEST_F(EventLogTest, DescribesAWatchedDirectoryMovedInsideTheTree) {
  makeDir("sub");
  startDaemon(2);
  ASSERT_EQ(rename(inTree("sub").c_str(), inTree("moved").c_str()), 0);
  ASSERT_TRUE(waitForLog(record(2, inTree("moved") + " - IN_MOVE_SELF")));
  const std::regex half("Inotify event for 1\\(cookie:[1-9][0-9]*\\) - (sub|moved) in " + target() +
                        " - IN_MOVED_(FROM|TO)\\|IN_ISDIR");
  int halves = 0;
  for (const std::string& message : logMessages()) {
    if (std::regex_match(message, half))
      ++halves;
  }
  EXPECT_EQ(halves, 2);
}

TEST_F(EventLogTest, DescribesAttributeChangesOfTheTargetAndOfASubdirectory) {
  makeDir("sub");
  startDaemon(2);
  ASSERT_EQ(chmod(target().c_str(), 0700), 0);
  EXPECT_TRUE(waitForLog(record(1, target() + " - IN_ATTRIB|IN_ISDIR")));
  // A watched subdirectory's change is seen from both sides: by its parent and by itself.
  ASSERT_EQ(chmod(inTree("sub").c_str(), 0700), 0);
  EXPECT_TRUE(waitForLog(record(1, "sub in " + target() + " - IN_ATTRIB|IN_ISDIR")));
  EXPECT_TRUE(waitForLog(record(2, inTree("sub") + " - IN_ATTRIB|IN_ISDIR")));
}

// Each wake-up is logged before the records it read, and every wake-up read at least one.
TEST_F(EventLogTest, LogsEachWakeUpBeforeItsBatch) {
  startDaemon(1);
  const std::vector<std::string> firsts = {
      record(1, "a.txt in " + target() + " - IN_CREATE"),
      record(1, "sub in " + target() + " - IN_CREATE|IN_ISDIR"),
      record(1, target() + " - IN_ATTRIB|IN_ISDIR"),
  };
  // One step at a time, each waited for, so that each step's first record opens a batch.
  createWriteClose("a.txt");
  ASSERT_TRUE(waitForHandledPath(inTree("a.txt")));
  makeDir("sub");
  ASSERT_TRUE(waitForLog(firsts[1]));
  ASSERT_TRUE(waitForWatches(2));
  ASSERT_EQ(chmod(target().c_str(), 0700), 0);
  ASSERT_TRUE(waitForLog(firsts[2]));

  const std::vector<std::string> messages = logMessages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Start as daemon...");
  EXPECT_EQ(messages[1], "poll exit - 1");
  for (const std::string& first : firsts) {
    int index = indexOf(first);
    ASSERT_GT(index, 0) << first;
    EXPECT_EQ(messages[static_cast<size_t>(index) - 1], "poll exit - 1") << first;
  }
  for (size_t i = 0; i < messages.size(); ++i) {
    if (messages[i] != "poll exit - 1")
      continue;
    ASSERT_LT(i + 1, messages.size()) << "a wake-up logged after its records";
    EXPECT_EQ(messages[i + 1].rfind("Inotify event for ", 0), 0u) << messages[i + 1];
  }
}

// With the daemon stopped, the kernel's queue fills and ends in an overflow record. The daemon
// logs it and carries on once it runs again.
TEST_F(EventLogTest, ReportsAQueueOverflowAndCarriesOn) {
  int maxQueued = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> maxQueued;
  ASSERT_GT(maxQueued, 0);
  startDaemon(1);
  ASSERT_EQ(kill(pid(), SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { kill(pid, SIGCONT); }
  } resume{pid()};
  ASSERT_TRUE(waitUntil([&] {
    std::ifstream stat("/proc/" + std::to_string(pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'T';
  }));
  // Opened read-only, the file yields IN_CREATE and IN_DELETE and never a handler run.
  const std::string path = inTree("churn");
  for (int records = 0; records <= maxQueued + 10; records += 2) {
    int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(unlink(path.c_str()), 0);
  }
  ASSERT_EQ(kill(pid(), SIGCONT), 0);
  EXPECT_TRUE(waitForLog("Inotify event for -1(cookie:0) - IN_Q_OVERFLOW"));
  writeFile("after.txt", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("after.txt")));
  EXPECT_TRUE(daemonAlive());
  EXPECT_EQ(handled(), std::vector<std::string>{inTree("after.txt")});
}

// No file name can split or forge a log line: control characters and backslashes are escaped
// in the records and in the handler's call lines, names and paths alike, while the handler still
// gets the name as it is.
TEST_F(EventLogTest, EscapesControlCharactersAndBackslashesInNames) {
  makeDir("d\nx");
  startDaemon(2);
  writeFile("a\nb\tc", "x");
  writeFile("back\\slash", "x");
  writeFile(
      "bell\x07"
      "del\x7f",
      "x");
  writeFile("d\nx/f", "x");
  EXPECT_TRUE(waitForLog(record(1, "a\\nb\\tc in " + target() + " - IN_CLOSE_WRITE")));
  EXPECT_TRUE(waitForLog(record(1, "back\\\\slash in " + target() + " - IN_CLOSE_WRITE")));
  EXPECT_TRUE(waitForLog(record(1, "bell\\x07del\\x7f in " + target() + " - IN_CLOSE_WRITE")));
  EXPECT_TRUE(waitForLog(record(2, "f in " + target() + "/d\\nx - IN_CLOSE_WRITE")));
  EXPECT_TRUE(waitForLog(callLine(inTree("a\\nb\\tc"))));
  EXPECT_TRUE(waitForLog(callLine(inTree("d\\nx/f"))));
  EXPECT_TRUE(waitForHandledPath(inTree("a\nb\tc")));
  EXPECT_TRUE(waitForHandledPath(inTree("d\nx/f")));
}

}  // namespace
}  // namespace vellumd::e2e
