// dispatch_test.cpp: the Dispatcher fed the kernel's own records from a registry over a temp tree.
#include "driver/dispatch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "driver/event_loop.h"
#include "events/inotify_event_iterator.h"
#include "watch/watched_tree.h"

namespace vellumd {
namespace {

namespace fs = std::filesystem;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vellumd-dispatch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
    root_ = pattern;
    target_ = root_ + "/tree";
    ASSERT_EQ(mkdir(target_.c_str(), 0755), 0);
    // The handler runs are not waited for, as in the daemon: let the kernel reap them.
    previousChild_ = signal(SIGCHLD, SIG_IGN);
  }
  void TearDown() override {
    dispatcher_.reset();
    dispatcher_.reset();
    watched_.reset();
    signal(SIGCHLD, previousChild_);
    std::error_code error;
    fs::remove_all(root_, error);
  }

  // Builds the registry over the tree as it is now.
  void watch() {
    dispatcher_.reset();
    watched_ =
        std::make_unique<WatchedTree>(DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask);
    watched_->scan.watchTree(target_);
    registry_ = &watched_->watch;
    runs_ = std::make_unique<HandlerQueue>(handler_, &log_);
    dispatcher_ = std::make_unique<Dispatcher>(*watched_, *runs_, target_, handler_, &log_);
  }

  // Dispatches one read's worth of records, if any are queued. The kernel queues a record
  // during the system call that causes it, so nothing needs waiting for.
  bool dispatchOneRead() {
    pollfd ready = {registry_->fd(), POLLIN, 0};
    if (poll(&ready, 1, 0) != 1)
      return false;
    auto [data, count] = registry_->readEvents();
    const InotifyEventIterator end;
    for (InotifyEventIterator record(data, count); record != end; ++record) {
      dispatcher_->dispatch(*record);
    }
    return true;
  }
  void dispatchAll() {
    while (dispatchOneRead()) {
    }
  }

  int wdOf(const std::string& path) const {
    for (const auto& [wd, entry] : registry_->entries()) {
      if (registry_->pathOf(wd) == path)
        return wd;
    }
    return -1;
  }
  std::string inTree(const std::string& relative) const { return target_ + "/" + relative; }

  std::string root_;
  std::string target_;
  const std::string handler_ = "/bin/true";
  std::ostringstream log_;
  std::unique_ptr<WatchedTree> watched_;
  InotifyWatch* registry_ = nullptr;  // watched_'s
  std::unique_ptr<HandlerQueue> runs_;
  std::unique_ptr<Dispatcher> dispatcher_;

 private:
  sighandler_t previousChild_ = SIG_DFL;
};

TEST_F(DispatchTest, MkdirRmdirCyclesLeaveTheRegistryAtItsSize) {
  ASSERT_EQ(mkdir(inTree("keep").c_str(), 0755), 0);
  watch();
  const size_t before = registry_->entries().size();
  ASSERT_EQ(before, 2u);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(mkdir(inTree("blink").c_str(), 0755), 0);
    dispatchAll();
    EXPECT_EQ(registry_->entries().size(), before + 1) << "cycle " << i;
    ASSERT_EQ(rmdir(inTree("blink").c_str()), 0);
    dispatchAll();
    EXPECT_EQ(registry_->entries().size(), before) << "cycle " << i;
  }
  EXPECT_TRUE(registry_->moves().moves().empty());
}

// Names made and never closed (hard links, FIFOs) or deleted or renamed first leave nothing
// behind; and a record for a descriptor the registry no longer holds changes nothing.
TEST_F(DispatchTest, NamesDeletedOrMovedAwayLeaveNoPendingEntry) {
  watch();
  std::ofstream(inTree("file")) << "x";
  dispatchAll();
  for (int i = 0; i < 100; ++i) {
    const std::string name = inTree("link" + std::to_string(i));
    ASSERT_EQ(link(inTree("file").c_str(), name.c_str()), 0);
    if (i % 2 == 0) {
      ASSERT_EQ(unlink(name.c_str()), 0);
    } else {
      ASSERT_EQ(rename(name.c_str(), (root_ + "/away" + std::to_string(i)).c_str()), 0);
    }
  }
  ASSERT_EQ(mkfifo(inTree("fifo").c_str(), 0644), 0);
  ASSERT_EQ(unlink(inTree("fifo").c_str()), 0);
  dispatchAll();
  EXPECT_TRUE(registry_->entries().at(1).pending.empty());

  alignas(inotify_event) char forgotten[sizeof(inotify_event) + 16] = {};
  auto* record = reinterpret_cast<inotify_event*>(forgotten);
  *record = {12345, IN_CLOSE_WRITE, 0, 16};
  std::strcpy(record->name, "a.txt");
  EXPECT_NO_THROW(dispatcher_->dispatch(*record));
  EXPECT_EQ(registry_->entries().size(), 1u);
}

TEST_F(DispatchTest, ADirectoryMovedOutIsDepartedUntilItsIgnoredRecordsAreDispatched) {
  ASSERT_EQ(mkdir(inTree("leaving").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(inTree("leaving/sub").c_str(), 0755), 0);
  watch();
  const int leaving = wdOf(inTree("leaving"));
  const int sub = wdOf(inTree("leaving/sub"));
  ASSERT_GT(leaving, 0);
  ASSERT_GT(sub, 0);

  ASSERT_EQ(rename(inTree("leaving").c_str(), (root_ + "/gone").c_str()), 0);
  // Written before the daemon has read of the departure: queued under the old watch.
  std::ofstream(root_ + "/gone/sub/late.txt") << "x";
  // This read holds the departure and the file's records, not yet the kernel's answers to the
  // watches being removed.
  ASSERT_TRUE(dispatchOneRead());
  EXPECT_TRUE(registry_->registry().isDeparted(leaving));
  EXPECT_TRUE(registry_->registry().isDeparted(sub));
  EXPECT_FALSE(registry_->registry().isDeparted(1));
  EXPECT_EQ(registry_->pathOf(sub), inTree("leaving/sub")) << "still resolvable for the log";
  EXPECT_TRUE(registry_->moves().moves().empty());

  dispatchAll();
  EXPECT_FALSE(registry_->entries().contains(leaving));
  EXPECT_FALSE(registry_->entries().contains(sub));
  EXPECT_EQ(registry_->entries().size(), 1u);
  EXPECT_EQ(log_.str().find("Call handler"), std::string::npos) << log_.str();
}

TEST_F(DispatchTest, AClosedFileLogsTheCallHandlerLineWithItsPath) {
  watch();
  std::ofstream(inTree("done.txt")) << "content";
  dispatchAll();
  EXPECT_NE(log_.str().find(": Call handler /bin/true with argument: " + inTree("done.txt") + "\n"),
            std::string::npos)
      << log_.str();
}

TEST_F(DispatchTest, ADirectoryGoneBeforeItsCreationIsDispatchedIsLoggedAndSkipped) {
  watch();
  ASSERT_EQ(mkdir(inTree("fleeting").c_str(), 0755), 0);
  ASSERT_EQ(rmdir(inTree("fleeting").c_str()), 0);
  ASSERT_NO_THROW(dispatchAll());
  EXPECT_NE(log_.str().find(": Can't watch directory " + inTree("fleeting") + " - " +
                            strerror(ENOENT) + "\n"),
            std::string::npos)
      << log_.str();
  EXPECT_EQ(registry_->entries().size(), 1u);
}

TEST_F(DispatchTest, ANameThatIsAFileByTheTimeItsDirectoryCreationIsDispatchedGetsNoWatch) {
  watch();
  ASSERT_EQ(mkdir(inTree("shifty").c_str(), 0755), 0);
  ASSERT_EQ(rmdir(inTree("shifty").c_str()), 0);
  std::ofstream(inTree("shifty")) << "a file now";
  ASSERT_NO_THROW(dispatchAll());
  EXPECT_EQ(registry_->entries().size(), 1u);
  EXPECT_EQ(wdOf(inTree("shifty")), -1);
}

// A full queue can keep the departure half of a rename and drop the arrival. The rescan after the
// overflow finds the directory under its new name; the half left behind must not later make an
// ordinary rename of it look like a move out of the tree.
TEST_F(DispatchTest, ARenameWhoseArrivalWasLostToAnOverflowDoesNotDetachTheDirectoryLater) {
  ASSERT_EQ(mkdir(inTree("first").c_str(), 0755), 0);
  watch();
  const int moving = wdOf(inTree("first"));
  ASSERT_EQ(rename(inTree("first").c_str(), inTree("second").c_str()), 0);
  auto [data, count] = registry_->readEvents();
  const InotifyEventIterator end;
  bool sawDeparture = false;
  for (InotifyEventIterator record(data, count); record != end; ++record) {
    if (record->mask & IN_MOVED_FROM) {
      dispatcher_->dispatch(*record);
      sawDeparture = true;
    }
  }
  ASSERT_TRUE(sawDeparture);
  inotify_event overflow{};
  overflow.wd = -1;
  overflow.mask = IN_Q_OVERFLOW;
  dispatcher_->dispatch(overflow);
  ASSERT_EQ(registry_->pathOf(moving), inTree("second"));

  ASSERT_EQ(rename(inTree("second").c_str(), inTree("third").c_str()), 0);
  dispatchAll();
  ASSERT_TRUE(registry_->entries().contains(moving)) << "its watch was dropped";
  EXPECT_FALSE(registry_->registry().isDeparted(moving));
  EXPECT_EQ(registry_->pathOf(moving), inTree("third"));
  EXPECT_TRUE(registry_->moves().moves().empty());
}

}  // namespace
}  // namespace vellumd
