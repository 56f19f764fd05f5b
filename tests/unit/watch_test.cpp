// watch_test.cpp: the registry of watched directories over real temporary trees: paths, the scan,
// loops, moves, pending writes, departures and re-scans.
#include "watch/inotify_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "errors/errors.h"
#include "events/inotify_event_iterator.h"
#include "watch/dir_scan.h"

namespace vellumd {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMask = 4046;

// A fresh directory under /tmp, removed with everything in it (links are not followed).
class TempTree {
 public:
  TempTree() {
    char pattern[] = "/tmp/vellumd_watch_XXXXXX";
    const char* made = mkdtemp(pattern);
    root_ = made != nullptr ? made : "";
  }
  ~TempTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  void mkdirs(const std::string& relative) const { fs::create_directories(path(relative)); }
  void file(const std::string& relative) const { std::ofstream(path(relative)) << "x"; }
  void link(const std::string& pointsTo, const std::string& relative) const {
    fs::create_directory_symlink(pointsTo, path(relative));
  }

 private:
  std::string root_;
};

std::unique_ptr<InotifyWatch> watchOver(const std::string& target) {
  auto watch = std::make_unique<InotifyWatch>(DirEntryIterator::DefaultIgnoreList(), kMask);
  DirectoryIdentity identity(*watch);
  TreeScan(*watch, identity).watchTree(target);
  return watch;
}

// Scans again with the registry a test holds, as a rescan or a new directory's watch does.
struct Rescan {
  explicit Rescan(InotifyWatch& watch) : identity(watch), scan(watch, identity) {}
  DirectoryIdentity identity;
  TreeScan scan;
};

// The descriptor whose path is `path`, or -1.
int wdOf(const InotifyWatch& registry, const std::string& path) {
  for (const auto& [wd, entry] : registry.entries()) {
    if (registry.pathOf(wd) == path)
      return wd;
  }
  return -1;
}

// Every parent chain ends at -1 within as many steps as there are entries: no ring.
void expectChainsEnd(const InotifyWatch& registry) {
  const auto& entries = registry.entries();
  for (const auto& [wd, entry] : entries) {
    int p = entry.parent;
    size_t steps = 0;
    while (p != -1 && entries.contains(p) && steps <= entries.size()) {
      p = entries.at(p).parent;
      ++steps;
    }
    EXPECT_LE(steps, entries.size()) << "the chain above " << wd << " loops";
  }
}

// Waits up to `timeoutMs` for the registry's descriptor to become readable.
bool readable(const InotifyWatch& registry, int timeoutMs) {
  pollfd request = {registry.fd(), POLLIN, 0};
  return poll(&request, 1, timeoutMs) == 1;
}

// One record as read, copied out of the registry's buffer.
struct Record {
  int wd;
  uint32_t mask;
  std::string name;
};

// Reads batches until `done` is satisfied by the records seen so far or two seconds pass.
template <typename Done>
std::vector<Record> readUntil(InotifyWatch& registry, Done done) {
  std::vector<Record> seen;
  while (!done(seen) && readable(registry, 2000)) {
    auto [start, count] = registry.readEvents();
    for (InotifyEventIterator it(start, count), end; it != end; ++it) {
      seen.push_back({it->wd, it->mask, eventName(*it)});
    }
  }
  return seen;
}

TEST(JoinPathTest, FollowsItsTable) {
  EXPECT_EQ(joinPath("/srv/in", "a.txt"), "/srv/in/a.txt");
  EXPECT_EQ(joinPath("/srv/in/", "a.txt"), "/srv/in/a.txt");
  EXPECT_EQ(joinPath("/", "bin"), "/bin");
  EXPECT_EQ(joinPath("", "data"), "/data");
  EXPECT_EQ(joinPath("/srv/in", "/etc/x"), "/etc/x");
  EXPECT_EQ(joinPath("data", "x"), "data/x");
  EXPECT_EQ(joinPath("/srv/in", ""), "/srv/in/");
  EXPECT_EQ(joinPath("", ""), "/");
  // Nothing is normalised.
  EXPECT_EQ(joinPath("/srv//in", "../x"), "/srv//in/../x");
}

TEST(IsDirectoryTest, FollowsLinksAndTellsOnlyDirectories) {
  TempTree tree;
  tree.mkdirs("dir");
  tree.file("file");
  tree.link(tree.path("dir"), "toDir");
  tree.link(tree.path("file"), "toFile");
  tree.link(tree.path("missing"), "dangling");
  EXPECT_TRUE(isDirectory(tree.root()));
  EXPECT_TRUE(isDirectory(tree.path("dir")));
  EXPECT_TRUE(isDirectory(tree.path("toDir")));
  EXPECT_FALSE(isDirectory(tree.path("file")));
  EXPECT_FALSE(isDirectory(tree.path("toFile")));
  EXPECT_FALSE(isDirectory(tree.path("dangling")));
  EXPECT_FALSE(isDirectory(tree.path("missing")));
  EXPECT_FALSE(isDirectory(tree.path("file/below")));
  EXPECT_FALSE(isDirectory(""));
}

TEST(ScanOptionsTest, VanishedDirectoriesAreAlwaysSkippedUnreadableOnlyWhenAsked) {
  ScanOptions strict;
  EXPECT_TRUE(strict.skips(ENOENT));
  EXPECT_TRUE(strict.skips(ENOTDIR));
  EXPECT_FALSE(strict.skips(EACCES));
  EXPECT_FALSE(strict.skips(ENOSPC));
  ScanOptions lenient;
  lenient.skipUnreadable = true;
  EXPECT_TRUE(lenient.skips(EACCES));
  EXPECT_FALSE(lenient.skips(ENOSPC));
}

TEST(RegistryTest, PathOfMinusOneIsEmptyAndOfAnUnknownDescriptorThrows) {
  TempTree tree;
  auto registry = watchOver(tree.root());
  EXPECT_EQ(registry->pathOf(-1), "");
  try {
    registry->pathOf(12345);
    ADD_FAILURE() << "no exception";
  } catch (const NotFoundError& error) {
    EXPECT_STREQ(error.what(), "watch descrepter not found!!");
  }
}

TEST(RegistryTest, MissingEmptyOrRegularFileTargetGivesNoEntries) {
  TempTree tree;
  tree.file("plain");
  for (const std::string& target : {tree.path("missing"), tree.path("plain"), std::string()}) {
    auto registry = watchOver(target);
    EXPECT_TRUE(registry->entries().empty()) << target;
    EXPECT_GE(registry->fd(), 0);
  }
}

TEST(RegistryTest, TargetWithTrailingSlashKeepsItAndChildrenGetOneSlash) {
  TempTree tree;
  tree.mkdirs("sub");
  auto registry = watchOver(tree.root() + "/");
  ASSERT_EQ(registry->entries().size(), 2u);
  const auto& [targetWd, target] = *registry->entries().begin();
  EXPECT_EQ(target.parent, -1);
  EXPECT_EQ(target.name, tree.root() + "/");
  EXPECT_EQ(registry->pathOf(targetWd), tree.root() + "/");
  const auto& [subWd, sub] = *registry->entries().rbegin();
  EXPECT_EQ(sub.name, "sub");
  EXPECT_EQ(sub.parent, targetWd);
  EXPECT_EQ(registry->pathOf(subWd), tree.path("sub"));
}

TEST(RegistryTest, IgnoredNamesGiveMinusOneEvenUnderAnUnknownParent) {
  TempTree tree;
  auto registry = watchOver(tree.root());
  const size_t before = registry->entries().size();
  EXPECT_EQ(registry->addWatch(12345, ".", 0), -1);
  EXPECT_EQ(registry->addWatch(12345, "..", 0), -1);
  const int target = registry->entries().begin()->first;
  EXPECT_EQ(registry->addWatch(target, ".", 0), -1);
  EXPECT_EQ(registry->entries().size(), before);
  EXPECT_EQ(registry->ignoreList(), (std::vector<std::string>{".", ".."}));
  EXPECT_EQ(registry->defaultMask(), kMask);
}

TEST(RegistryTest, UnknownParentThrowsNotFoundAndChangesNothing) {
  TempTree tree;
  tree.mkdirs("sub");
  auto registry = watchOver(tree.root());
  EXPECT_THROW(registry->addWatch(12345, "sub", 0), NotFoundError);
  EXPECT_EQ(registry->entries().size(), 2u);
}

TEST(RegistryTest, MissingDirectoryThrowsSystemErrorWithEnoent) {
  TempTree tree;
  auto registry = watchOver(tree.root());
  const int target = registry->entries().begin()->first;
  try {
    registry->addWatch(target, "missing", 0);
    ADD_FAILURE() << "no exception";
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(std::string(error.what()), "inotify_add_watch fail!! - " + std::to_string(ENOENT));
  }
  EXPECT_EQ(registry->entries().size(), 1u);
}

TEST(RegistryTest, RemoveWatchForgetsOneEntryAndChildrenStopAtTheGap) {
  TempTree tree;
  tree.mkdirs("a/b");
  auto registry = watchOver(tree.root());
  const int a = wdOf(*registry, tree.path("a"));
  const int b = wdOf(*registry, tree.path("a/b"));
  registry->removeWatch(12345);
  EXPECT_EQ(registry->entries().size(), 3u);
  registry->removeWatch(a);
  EXPECT_FALSE(registry->entries().contains(a));
  EXPECT_THROW(registry->pathOf(a), NotFoundError);
  EXPECT_EQ(registry->pathOf(b), "b");
}

// A registry over t with t/a/c and t/b, for the bookkeeping operations.
class BookkeepingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.mkdirs("a/c");
    tree_.mkdirs("b");
    registry_ = watchOver(tree_.root());
    t_ = wdOf(*registry_, tree_.root());
    a_ = wdOf(*registry_, tree_.path("a"));
    b_ = wdOf(*registry_, tree_.path("b"));
    c_ = wdOf(*registry_, tree_.path("a/c"));
    ASSERT_TRUE(t_ != -1 && a_ != -1 && b_ != -1 && c_ != -1);
  }

  const WatchEntry& entry(int wd) const { return registry_->entries().at(wd); }

  TempTree tree_;
  std::unique_ptr<InotifyWatch> registry_;
  int t_ = -1, a_ = -1, b_ = -1, c_ = -1;
};

bool movePending(const InotifyWatch& registry, uint32_t cookie) {
  const auto& moves = registry.moves().moves();
  return std::any_of(moves.begin(), moves.end(),
                     [cookie](const DirectoryMove& move) { return move.cookie == cookie; });
}

TEST_F(BookkeepingTest, RenameUnderTheSameParentMovesEverythingBelow) {
  registry_->registry().notePending(a_, "f", IN_CREATE);
  registry_->moves().recordMoveFrom(t_, "a", 7);
  EXPECT_TRUE(movePending(*registry_, 7));
  EXPECT_EQ(entry(a_).name, "a");  // untouched until the arrival
  EXPECT_TRUE(registry_->moves().completeMoveTo(t_, "new", 7));
  EXPECT_EQ(entry(a_).parent, t_);
  EXPECT_EQ(entry(a_).name, "new");
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("new/c"));
  EXPECT_EQ(registry_->moves().settleMove(a_), MoveOutcome::kMovedInside);
  EXPECT_FALSE(movePending(*registry_, 7));
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"),
            IN_CREATE);  // the move keeps pending writes

  // Moved to another parent; then out of the tree: a departure no arrival matched.
  registry_->moves().recordMoveFrom(t_, "new", 8);
  EXPECT_TRUE(registry_->moves().completeMoveTo(b_, "a", 8));
  EXPECT_EQ(registry_->moves().settleMove(a_), MoveOutcome::kMovedInside);
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("b/a/c"));
  registry_->moves().recordMoveFrom(b_, "a", 9);
  EXPECT_EQ(registry_->moves().settleMove(a_), MoveOutcome::kMovedOut);
  EXPECT_EQ(registry_->moves().settleMove(a_), MoveOutcome::kUnmatched);
}

TEST_F(BookkeepingTest, UnmatchedOrSpentCookieChangesNothing) {
  registry_->moves().recordMoveFrom(t_, "nothing", 9);
  registry_->moves().recordMoveFrom(b_, "a", 9);  // right name, wrong parent
  EXPECT_TRUE(registry_->moves().moves().empty());
  EXPECT_FALSE(registry_->moves().completeMoveTo(b_, "x", 9));
  EXPECT_FALSE(registry_->moves().completeMoveTo(b_, "x", 10));
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("a/c"));

  // A cookie that was completed is spent.
  registry_->moves().recordMoveFrom(t_, "a", 11);
  EXPECT_TRUE(registry_->moves().completeMoveTo(t_, "first", 11));
  EXPECT_FALSE(registry_->moves().completeMoveTo(b_, "second", 11));
  EXPECT_EQ(registry_->pathOf(a_), tree_.path("first"));
}

// Two entries bore one parent and name (a stale twin): the directory's own IN_MOVE_SELF says
// which of them moved, and only that one leaves.
TEST_F(BookkeepingTest, TheDirectoryThatReportsItsOwnMoveIsTheOneThatMoved) {
  registry_->moves().recordMoveFrom(t_, "b", 3);
  ASSERT_TRUE(registry_->moves().completeMoveTo(t_, "a", 3));
  ASSERT_EQ(registry_->moves().settleMove(b_), MoveOutcome::kMovedInside);
  registry_->moves().recordMoveFrom(t_, "a", 4);  // names both a and b now
  EXPECT_FALSE(registry_->moves().completeMoveTo(t_, "z", 5));
  EXPECT_EQ(registry_->moves().settleMove(a_), MoveOutcome::kMovedOut);
  EXPECT_EQ(registry_->moves().settleMove(b_), MoveOutcome::kUnmatched);
  EXPECT_EQ(entry(b_).name, "a");
  registry_->moves().recordMoveFrom(t_, "a", 6);
  registry_->forgetWatch(a_);
  registry_->forgetWatch(b_);
  EXPECT_TRUE(registry_->moves().moves().empty());  // forgotten with the entries they named
}

TEST_F(BookkeepingTest, PendingMasksAccumulateAndClearPerDirectory) {
  registry_->registry().notePending(t_, "f", IN_CREATE);
  registry_->registry().notePending(t_, "f", IN_MODIFY);
  registry_->registry().notePending(t_, "f", IN_MODIFY);
  EXPECT_EQ(registry_->registry().pendingMask(t_, "f"), 0x102u);
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"), 0u);
  registry_->registry().notePending(a_, "f", IN_MODIFY);
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"), IN_MODIFY);
  EXPECT_EQ(registry_->registry().pendingMask(t_, "g"), 0u);
  registry_->registry().clearPending(t_, "f");
  EXPECT_EQ(registry_->registry().pendingMask(t_, "f"), 0u);
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"), IN_MODIFY);
  registry_->registry().clearPending(t_, "never-noted");
  EXPECT_EQ(entry(a_).pending.size(), 1u);

  // Unknown descriptors are ignored, never raised.
  EXPECT_NO_THROW(registry_->registry().notePending(12345, "f", IN_CREATE));
  EXPECT_EQ(registry_->registry().pendingMask(12345, "f"), 0u);
  EXPECT_NO_THROW(registry_->registry().clearPending(12345, "f"));
  EXPECT_FALSE(registry_->entries().contains(12345));
}

TEST_F(BookkeepingTest, RemoveChildRemovesEveryMatchingEntryAndNothingForAnEmptyName) {
  // Self records carry no name; no entry has an empty one.
  registry_->removeChild(t_, "");
  registry_->removeChild(-1, "");
  EXPECT_EQ(registry_->entries().size(), 4u);

  // Two entries named "a" under t: b renamed by a move.
  registry_->moves().recordMoveFrom(t_, "b", 3);
  ASSERT_TRUE(registry_->moves().completeMoveTo(t_, "a", 3));
  registry_->removeChild(t_, "a");
  EXPECT_FALSE(registry_->entries().contains(a_));
  EXPECT_FALSE(registry_->entries().contains(b_));
  EXPECT_TRUE(registry_->entries().contains(t_));
  EXPECT_TRUE(registry_->entries().contains(c_));
}

TEST_F(BookkeepingTest, DetachSubtreeMarksEverythingBelowAndDropsItsCookies) {
  registry_->moves().recordMoveFrom(t_, "a", 21);
  registry_->moves().recordMoveFrom(a_, "c", 22);
  registry_->moves().recordMoveFrom(t_, "b", 23);
  registry_->detachSubtree(a_);
  EXPECT_TRUE(registry_->registry().isDeparted(a_));
  EXPECT_TRUE(registry_->registry().isDeparted(c_));
  EXPECT_FALSE(registry_->registry().isDeparted(b_));
  EXPECT_FALSE(registry_->registry().isDeparted(t_));
  EXPECT_FALSE(registry_->registry().isDeparted(12345));
  // Entries stay until the kernel confirms, so queued records still have a path.
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("a/c"));
  ASSERT_EQ(registry_->moves().moves().size(), 1u);
  EXPECT_EQ(registry_->moves().moves().front().leaving, std::vector<int>{b_});

  // The kernel watches are gone: it confirms each with IN_IGNORED.
  std::set<int> ignored;
  readUntil(*registry_, [&](const auto& seen) {
    for (const Record& record : seen) {
      if (record.mask & IN_IGNORED)
        ignored.insert(record.wd);
    }
    return ignored.contains(a_) && ignored.contains(c_);
  });
  EXPECT_EQ(ignored, (std::set<int>{a_, c_}));
}

TEST_F(BookkeepingTest, ForgetWatchDropsTheEntryAndItsCookies) {
  registry_->registry().notePending(b_, "f", IN_CREATE);
  registry_->moves().recordMoveFrom(t_, "b", 31);
  registry_->forgetWatch(b_);
  EXPECT_FALSE(registry_->entries().contains(b_));
  EXPECT_THROW(registry_->pathOf(b_), NotFoundError);
  EXPECT_FALSE(movePending(*registry_, 31));
  registry_->forgetWatch(12345);
  EXPECT_EQ(registry_->entries().size(), 3u);
}

TEST_F(BookkeepingTest, PlaceWatchTellsNewAndUnchangedAndKeepsPendingWhenUnchanged) {
  EXPECT_EQ(registry_->placeWatch(t_, ".", 0).outcome, WatchOutcome::kIgnored);
  EXPECT_EQ(registry_->placeWatch(t_, ".", 0).wd, -1);

  tree_.mkdirs("b/fresh");
  const PlacedWatch fresh = registry_->placeWatch(b_, "fresh", 0);
  EXPECT_EQ(fresh.outcome, WatchOutcome::kNew);
  EXPECT_EQ(registry_->pathOf(fresh.wd), tree_.path("b/fresh"));

  registry_->registry().notePending(a_, "f", 0x102);
  const PlacedWatch again = registry_->placeWatch(t_, "a", 0);
  EXPECT_EQ(again.wd, a_);
  EXPECT_EQ(again.outcome, WatchOutcome::kUnchanged);
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"), 0x102u);
}

// The masks name files of the directory itself, whichever way it is reached: a file still being
// written there must still be handled at its close.
TEST_F(BookkeepingTest, PlaceWatchReparentsADirectoryReachedElsewhereAndKeepsItsMasks) {
  tree_.link("../a", "b/alias");
  registry_->registry().notePending(a_, "f", 0x102);
  const PlacedWatch placed = registry_->placeWatch(b_, "alias", 0, true);
  EXPECT_EQ(placed.wd, a_);
  EXPECT_EQ(placed.outcome, WatchOutcome::kReparented);
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"), 0x102u);
  EXPECT_TRUE(entry(a_).viaLink);
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("b/alias/c"));
  EXPECT_EQ(registry_->entries().size(), 4u);
}

TEST_F(BookkeepingTest, PlaceWatchRefusesToHangAnAncestorBelowItsDescendant) {
  tree_.link(tree_.path("a"), "a/c/up");
  tree_.link(tree_.root(), "a/c/root");
  tree_.link(".", "a/c/self");
  for (const char* name : {"up", "root", "self"}) {
    const PlacedWatch placed = registry_->placeWatch(c_, name, 0);
    EXPECT_EQ(placed.outcome, WatchOutcome::kWouldLoop) << name;
    EXPECT_EQ(placed.wd, -1) << name;
    EXPECT_EQ(registry_->addWatch(c_, name, 0), -1) << name;
  }
  expectChainsEnd(*registry_);
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("a/c"));
  EXPECT_EQ(entry(t_).parent, -1);
}

TEST_F(BookkeepingTest, WatchTreeAgainAddsOnlyNewDirectoriesAndKeepsPendingMasks) {
  registry_->registry().notePending(a_, "f", 0x102);
  registry_->registry().notePending(t_, "g", IN_CREATE);
  tree_.mkdirs("a/n1");
  tree_.mkdirs("b/n2/n3");
  std::vector<int> newlyWatched;
  ScanOptions options;
  options.newlyWatched = &newlyWatched;
  Rescan(*registry_).scan.watchTree(tree_.root(), options);

  std::set<std::string> added;
  for (int wd : newlyWatched)
    added.insert(registry_->pathOf(wd));
  EXPECT_EQ(added,
            (std::set<std::string>{tree_.path("a/n1"), tree_.path("b/n2"), tree_.path("b/n2/n3")}));
  EXPECT_EQ(newlyWatched.size(), 3u);
  EXPECT_EQ(registry_->entries().size(), 7u);
  EXPECT_EQ(registry_->registry().pendingMask(a_, "f"), 0x102u);
  EXPECT_EQ(registry_->registry().pendingMask(t_, "g"), IN_CREATE);
  EXPECT_EQ(registry_->pathOf(c_), tree_.path("a/c"));
}

TEST_F(BookkeepingTest, WatchSubtreeWatchesEveryDirectoryBelowANewOne) {
  tree_.mkdirs("a/new/deep/deeper");
  tree_.mkdirs("a/new/side");
  const std::optional<PlacedWatch> placed =
      Rescan(*registry_).scan.watchSubtree(a_, "new", ScanOptions());
  ASSERT_TRUE(placed);
  const PlacedWatch subtree = *placed;
  EXPECT_EQ(subtree.outcome, WatchOutcome::kNew);
  EXPECT_EQ(registry_->pathOf(subtree.wd), tree_.path("a/new"));
  for (const char* below : {"a/new", "a/new/deep", "a/new/deep/deeper", "a/new/side"}) {
    EXPECT_NE(wdOf(*registry_, tree_.path(below)), -1) << below;
  }
}

TEST_F(BookkeepingTest, WatchSubtreeSkipsADirectoryThatVanished) {
  std::vector<std::pair<std::string, int>> skipped;
  ScanOptions options;
  options.onSkipped = [&](const std::string& path, int error) {
    skipped.emplace_back(path, error);
  };
  EXPECT_FALSE(Rescan(*registry_).scan.watchSubtree(a_, "gone", options));
  EXPECT_EQ(skipped, (std::vector<std::pair<std::string, int>>{{tree_.path("a/gone"), ENOENT}}));
  EXPECT_EQ(registry_->entries().size(), 4u);
}

TEST_F(BookkeepingTest, ReadEventsReturnsTheRecordsOfAChange) {
  tree_.file("a/x.txt");
  const auto seen = readUntil(*registry_, [&](const auto& records) {
    return std::any_of(records.begin(), records.end(),
                       [](const Record& record) { return (record.mask & IN_CLOSE_WRITE) != 0; });
  });
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().wd, a_);
  EXPECT_EQ(seen.front().mask, IN_CREATE);
  EXPECT_EQ(seen.front().name, "x.txt");
  EXPECT_EQ(seen.back().mask, IN_CLOSE_WRITE);
  EXPECT_EQ(seen.back().name, "x.txt");
}

TEST_F(BookkeepingTest, ReadEventsFailureThrowsReadFail) {
  // A write-only descriptor in place of the instance: read() fails with EBADF.
  const int writeOnly = open("/dev/null", O_WRONLY);
  ASSERT_GE(writeOnly, 0);
  ASSERT_EQ(dup2(writeOnly, registry_->fd()), registry_->fd());
  close(writeOnly);
  try {
    registry_->readEvents();
    ADD_FAILURE() << "no exception";
  } catch (const SystemError& error) {
    EXPECT_STREQ(error.what(), "read fail!! - 9");
  }
}

}  // namespace
}  // namespace vellumd
