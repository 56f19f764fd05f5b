// dispatch.cpp: the daemon's routing of every record it reads.
#include "driver/dispatch.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

#include "base/times.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"

namespace vellumd {

namespace {
// A file counts as written once it was created or modified while watched.
constexpr uint32_t kWrittenBits = IN_MODIFY | IN_CREATE;
}  // namespace

Dispatcher::Dispatcher(WatchedTree& tree, HandlerQueue& runs, const std::string& target,
                       const std::string& handler, std::ostream* log,
                       const DispatchOptions& options)
    : watch_(tree.watch),
      registry_(tree.watch.registry()),
      identity_(tree.identity),
      scan_(tree.scan),
      target_(target),
      log_(log),
      options_(options),
      decider_(tree, runs, handler, log, options_) {}

Dispatcher::~Dispatcher() = default;

void Dispatcher::dispatch(const inotify_event& event) {
  decider_.forgetOldRuns();
  // A directory that moved, went or was never seen may have left a path that no longer leads to
  // the directory held open: it is checked again.
  if (event.mask & (IN_ISDIR | IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED))
    endOfRecords();
  if (event.mask & IN_Q_OVERFLOW) {
    recoverFromOverflow();
    return;
  }
  if (event.wd == watch_.targetWd() &&
      (event.mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED))) {
    targetGone();
  }
  if (event.mask & IN_IGNORED) {
    // The kernel dropped the watch (directory deleted, watch removed, or a queue mark passed):
    // this is its last record.
    decider_.markRead(event.wd);
    if (watch_.forgetWatch(event.wd))
      retryStarved();
    return;
  }
  // One walk up the chain tells where the record's directory stands. A descriptor already
  // forgotten (the kernel may queue records after the IN_IGNORED that made the registry forget
  // it), or the records of a directory that has left the tree: they concern nothing the daemon
  // watches.
  using Status = WatchRegistry::Location::Status;
  const Status where = registry_.locate(event.wd, false).status;
  if (where == Status::kUnknown || where == Status::kDeparted)
    return;
  if (event.mask & IN_MOVE_SELF) {
    dispatchMove(event.wd);
    return;
  }
  // A directory renames pushed beyond the longest path has nothing that could be handed over;
  // and its chain is walked no further than that.
  if (where == Status::kTooLong)
    return;
  if (where != Status::kInTree) {
    // Reached through a link whose directory has left the tree or gone: its path leads nowhere.
    // A rescan finds it again if another way in remains.
    rescanTree(false);
    if (!registry_.isRooted(event.wd)) {
      watch_.detachSubtree(event.wd);
      return;
    }
  }
  const std::string name = eventName(event);
  const bool handledByLook = decider_.noteRecord(event, name);
  if (event.mask & IN_ISDIR) {
    dispatchDirectory(event, name);
  } else {
    dispatchFile(event, name, handledByLook);
  }
}

void Dispatcher::dispatchMove(int wd) {
  switch (watch_.moves().settleMove(wd)) {
    case MoveOutcome::kMovedInside:
      // Renamed to a name never handed over (an upload tool's "dir.part"): no longer watched,
      // as if it had been made under that name.
      if (decider_.isExcluded(registry_.find(wd)->name))
        watch_.detachSubtree(wd);
      return;
    case MoveOutcome::kMovedOut:
      watch_.detachSubtree(wd);
      return;
    case MoveOutcome::kUnmatched:
      // Moved where no record of the tree told: by a move the registry could not pair, or
      // through a link whose real parent lies outside. Still where its path leads, it stays.
      if (!identity_.stillAt(wd)) {
        watch_.detachSubtree(wd);
        rescanTree(false);
      }
      return;
  }
}

void Dispatcher::dispatchDirectory(const inotify_event& event, const std::string& name) {
  if (event.mask & IN_CREATE)
    watchArrival(event.wd, name, true);
  if (event.mask & (IN_DELETE | IN_MOVED_FROM))
    starved_.erase({event.wd, name});
  if (event.mask & IN_MOVED_FROM)
    watch_.moves().recordMoveFrom(event.wd, name, event.cookie);
  if (event.mask & IN_MOVED_TO) {
    watch_.moves().completeMoveTo(event.wd, name, event.cookie);
    // A directory that came from outside arrives complete and is watched with everything below
    // it. One that moved inside the tree was matched by its old parent and name, which by now
    // may name another directory (mkdir a; mv a b; mkdir a, all read at once): watching the new
    // name costs one call when the match was right, and mends the registry when it was not.
    watchArrival(event.wd, name, false);
    decider_.decide(event.wd, name, RunKind::kDirectoryArrival);
  }
}

void Dispatcher::dispatchFile(const inotify_event& event, const std::string& name,
                              bool handledByLook) {
  if (event.mask & kWrittenBits)
    registry_.notePending(event.wd, name, event.mask);
  // A name deleted or moved away is never closed under this name: its pending entry would stay
  // for ever (hard links, devices, FIFOs and maildir-style writers make such names all day).
  if (event.mask & (IN_DELETE | IN_MOVED_FROM))
    registry_.clearPending(event.wd, name);
  // An arrival or a close queued before the mark of a look that handled the file is of the
  // completion the look handled.
  if ((event.mask & IN_MOVED_TO) && !handledByLook)
    decider_.decide(event.wd, name, RunKind::kArrival);
  if ((event.mask & IN_CLOSE_WRITE) && (registry_.takePending(event.wd, name) & kWrittenBits) &&
      !handledByLook) {
    decider_.decide(event.wd, name, RunKind::kClose);
  }
}

void Dispatcher::targetGone() {
  // Its name may lead anywhere now, a link planted by whoever could write its parent included:
  // nothing more may be handed over under it. A supervisor starts the daemon again.
  fatal(3, "Target " + escapeForLog(target_) + " was moved away or deleted", log_);
}

void Dispatcher::recoverFromOverflow() {
  // A queue mark may be among the lost records: what a look handled can no longer be told
  // from what came after it. The empty files waiting for a mark are looked at again once the
  // tree is rescanned and the records that follow are read.
  decider_.forgetMarks();
  // Every change lost was made after the queue was last seen empty.
  const timespec since = earlier(watch_.drainedAt(), kChangeMarginNanoseconds);
  std::vector<int> appeared;
  std::vector<int> renamed;
  rescanTree(true, &appeared, &renamed);
  // Directories that arrived while records were lost get the run their arrival would have had.
  // Files keep their change times through a move, so a look by change time would never find a
  // moved-in directory's files; one made in place holds only files changed since, which it
  // does find. The birth time tells the two apart; without one, every file inside is looked at.
  std::map<int, DirectoryOrigin> origins;  // every directory that appeared, in scan order
  for (int wd : appeared) {
    const WatchEntry& entry = registry_.entries().at(wd);
    if (auto above = origins.find(entry.parent); above != origins.end()) {
      origins[wd] = above->second;  // came with the directory above it
      continue;
    }
    const std::optional<std::string> path = registry_.boundedPathOf(wd);
    const DirectoryOrigin origin = path ? originOf(*path, since) : DirectoryOrigin::kMadeHere;
    origins[wd] = origin;
    if (origin == DirectoryOrigin::kMovedIn)
      decider_.decide(entry.parent, entry.name, RunKind::kDirectoryArrival);
  }
  // Renamed inside the tree: its files were watched all along; the directory itself arrived.
  for (int wd : renamed) {
    const WatchEntry& entry = registry_.entries().at(wd);
    if (!origins.contains(entry.parent) && registry_.isRooted(wd))
      decider_.decide(entry.parent, entry.name, RunKind::kDirectoryArrival);
  }
  std::vector<int> byChange;
  std::vector<int> whole;
  for (const auto& [wd, entry] : registry_.entries()) {
    if (entry.departed || !registry_.isRooted(wd))
      continue;
    auto origin = origins.find(wd);
    if (origin == origins.end() || origin->second == DirectoryOrigin::kMadeHere)
      byChange.push_back(wd);
    else if (origin->second == DirectoryOrigin::kUnknown)
      whole.push_back(wd);
  }
  decider_.lookAt(byChange, &since);
  decider_.lookAt(whole);
}

Dispatcher::DirectoryOrigin Dispatcher::originOf(const std::string& path, const timespec& since) {
  struct statx info;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) != 0 ||
      !(info.stx_mask & STATX_BTIME)) {
    return DirectoryOrigin::kUnknown;
  }
  const timespec born{info.stx_btime.tv_sec, info.stx_btime.tv_nsec};
  return before(born, since) ? DirectoryOrigin::kMovedIn : DirectoryOrigin::kMadeHere;
}

void Dispatcher::rescanTree(bool afterOverflow, std::vector<int>* appeared,
                            std::vector<int>* renamed) {
  // Directories may be re-homed: the one held open may no longer be at its entry's path.
  identity_.endOfRead();
  // The records that told of the target's move may be among those lost.
  if (watch_.targetWd() >= 0 && !identity_.stillAt(watch_.targetWd()))
    targetGone();
  // A move whose arrival was lost would later make its directory look as if it had left.
  if (afterOverflow)
    watch_.moves().clear();
  ScanOptions options = runtimeScanOptions();
  options.newlyWatched = appeared;
  options.reparented = renamed;
  scan_.watchTree(target_, options);
  noteStarved();
}

void logUnwatchable(const std::string& path, int error, std::ostream* log) {
  writeLog("Can't watch directory " + escapeForLog(path) + " - " + strerror(error), log);
}

ScanOptions startupScanOptions(std::ostream* log, const std::vector<std::string>* excludes) {
  ScanOptions options;
  options.excluded = excludes;
  options.onSkipped = [log](const std::string& path, int error) {
    logUnwatchable(path, error, log);
  };
  options.onUntrustedLink = [log](const std::string& path, uid_t owner) {
    logUntrustedLink(path, owner, log);
  };
  return options;
}

ScanOptions Dispatcher::runtimeScanOptions() {
  ScanOptions options = startupScanOptions(log_, &options_.excludes);
  options.skipUnreadable = true;
  newlyStarved_.clear();
  options.starved = &newlyStarved_;
  return options;
}

void Dispatcher::noteStarved() {
  starved_.insert(newlyStarved_.begin(), newlyStarved_.end());
  newlyStarved_.clear();
}

void Dispatcher::retryStarved() {
  // A watch was given back: the directories refused for want of watches get it, oldest parent
  // first. One refusal ends the round, so a record costs at most one failed try.
  while (!starved_.empty()) {
    const auto [parent, name] = *starved_.begin();
    starved_.erase(starved_.begin());
    if (!registry_.isRooted(parent))
      continue;
    watchArrival(parent, name, true);
    if (starved_.contains({parent, name}))
      return;
  }
}

void Dispatcher::watchArrival(int parent, const std::string& name, bool lookInside) {
  ScanOptions options = runtimeScanOptions();
  std::vector<int> newlyWatched;
  if (lookInside)
    options.newlyWatched = &newlyWatched;
  scan_.watchSubtree(parent, name, options);
  noteStarved();
  decider_.lookAt(newlyWatched);
}

}  // namespace vellumd
