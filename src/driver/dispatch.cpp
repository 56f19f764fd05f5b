// dispatch.cpp: the daemon's policy for every record it reads.
#include "driver/dispatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "log/own_file.h"

namespace vellumd {

namespace {
// A file counts as written once it was created or modified while watched.
constexpr uint32_t kWrittenBits = IN_MODIFY | IN_CREATE;
// Files looked at under one queue mark, their leases held together: bounded, since each holds a
// descriptor.
constexpr size_t kLeasesPerMark = 64;
// How far a file's change time may trail the clock read before the change: file systems stamp
// with a coarse clock, a tick (a few milliseconds) behind.
constexpr long kChangeMarginNanoseconds = 20'000'000;
constexpr long kSecond = 1'000'000'000;

timespec now() {
  timespec time;
  clock_gettime(CLOCK_REALTIME, &time);
  return time;
}
bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}
bool same(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}
timespec earlier(timespec time, long nanoseconds) {
  time.tv_sec -= nanoseconds / kSecond;
  time.tv_nsec -= nanoseconds % kSecond;
  if (time.tv_nsec < 0) {
    time.tv_nsec += kSecond;
    --time.tv_sec;
  }
  return time;
}
}  // namespace

Dispatcher::Dispatcher(WatchedTree& tree, HandlerQueue& runs, const std::string& target,
                       const std::string& handler, std::ostream* log,
                       const DispatchOptions& options)
    : watch_(tree.watch),
      registry_(tree.watch.registry()),
      identity_(tree.identity),
      scan_(tree.scan),
      runs_(runs),
      target_(target),
      handler_(handler),
      log_(log),
      options_(options) {}

Dispatcher::~Dispatcher() = default;

void Dispatcher::dispatch(const inotify_event& event) {
  forgetOldRuns();
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
    if (auto mark = lookedAtByMark_.find(event.wd); mark != lookedAtByMark_.end()) {
      for (const auto& file : mark->second) {
        // A later look may have marked the file again: its entry then waits for that mark.
        auto looked = lookedAt_.find(file);
        if (looked != lookedAt_.end() && looked->second == event.wd)
          lookedAt_.erase(looked);
        if (!emptyAtLook_.empty())
          decideEmptyAtLook(file, event.wd);
      }
      lookedAtByMark_.erase(mark);
    }
    if (watch_.forgetWatch(event.wd))
      retryStarved();
    return;
  }
  // A descriptor already forgotten (the kernel may queue records after the IN_IGNORED that made
  // the registry forget it), or the records of a directory that has left the tree: they concern
  // nothing the daemon watches.
  if (!registry_.entries().contains(event.wd) || registry_.isDeparted(event.wd))
    return;
  if (event.mask & IN_MOVE_SELF) {
    switch (watch_.moves().settleMove(event.wd)) {
      case MoveOutcome::kMovedInside:
        // Renamed to a name never handed over (an upload tool's "dir.part"): no longer watched,
        // as if it had been made under that name.
        if (isExcluded(registry_.entries().at(event.wd).name))
          watch_.detachSubtree(event.wd);
        return;
      case MoveOutcome::kMovedOut:
        watch_.detachSubtree(event.wd);
        return;
      case MoveOutcome::kUnmatched:
        // Moved where no record of the tree told: by a move the registry could not pair, or
        // through a link whose real parent lies outside. Still where its path leads, it stays.
        if (!identity_.stillAt(event.wd)) {
          watch_.detachSubtree(event.wd);
          rescanTree(false);
        }
        return;
    }
  }
  // A directory renames pushed beyond the longest path has nothing that could be handed over;
  // and, tested first, its chain is not walked further.
  if (!registry_.pathFits(event.wd))
    return;
  if (!registry_.isRooted(event.wd)) {
    // Reached through a link whose directory has left the tree or gone: its path leads nowhere.
    // A rescan finds it again if another way in remains.
    rescanTree(false);
    if (!registry_.isRooted(event.wd)) {
      watch_.detachSubtree(event.wd);
      return;
    }
  }
  const std::string name = eventName(event);
  if (!settling_.empty())
    noteSettlingRecord(event, name);
  if (event.mask & IN_ISDIR) {
    dispatchDirectory(event, name);
  } else {
    dispatchFile(event, name);
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
    decide(event.wd, name, RunKind::kDirectoryArrival);
  }
}

void Dispatcher::dispatchFile(const inotify_event& event, const std::string& name) {
  if (event.mask & kWrittenBits)
    registry_.notePending(event.wd, name, event.mask);
  // A name deleted or moved away is never closed under this name: its pending entry would stay
  // for ever (hard links, devices, FIFOs and maildir-style writers make such names all day).
  if (event.mask & (IN_DELETE | IN_MOVED_FROM))
    registry_.clearPending(event.wd, name);
  if (!emptyAtLook_.empty())
    noteEmptyAtLookRecord(event, name);
  // An arrival or a close queued before the mark of a look that handled the file is of the
  // completion the look handled.
  const bool handledByLook = lookedAt_.contains({event.wd, name});
  if ((event.mask & IN_MOVED_TO) && !handledByLook)
    decide(event.wd, name, RunKind::kArrival);
  if ((event.mask & IN_CLOSE_WRITE) && (registry_.pendingMask(event.wd, name) & kWrittenBits)) {
    registry_.clearPending(event.wd, name);
    if (!handledByLook)
      decide(event.wd, name, RunKind::kClose);
  }
}

bool Dispatcher::isExcluded(const std::string& name) const {
  return std::any_of(options_.excludes.begin(), options_.excludes.end(),
                     [&name](const std::string& pattern) {
                       return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
                     });
}

void Dispatcher::decide(int wd, const std::string& name, RunKind kind) {
  if (isExcluded(name))
    return;
  if (options_.settle.count() > 0) {
    waitToRun(wd, name, kind, SteadyClock::now() + options_.settle);
    return;
  }
  run(wd, name, kind);
}

void Dispatcher::waitToRun(int wd, const std::string& name, RunKind kind,
                           SteadyClock::time_point deadline) {
  auto [settling, added] = settling_.insert_or_assign({wd, name}, Settling{kind, deadline});
  if (added)
    settleOrder_.push_back({settling->first, deadline});
}

void Dispatcher::run(int wd, const std::string& name, RunKind kind) {
  const std::optional<std::string> directory = registry_.boundedPathOf(wd);
  if (!directory || !registry_.isRooted(wd))
    return;
  // A name that settled may have been opened again meanwhile: it gets the look an arrival gets.
  if (kind == RunKind::kClose && options_.settle.count() > 0)
    kind = RunKind::kArrival;
  handOver(wd, *directory, name, kind);
}

void Dispatcher::noteSettlingRecord(const inotify_event& event, const std::string& name) {
  auto settling = settling_.find({event.wd, name});
  if (settling == settling_.end())
    return;
  // Gone or renamed away: the name's run goes with it (an arrival under the new name has its
  // own). Anything else done to it restarts the wait.
  if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
    settling_.erase(settling);
    return;
  }
  // The entry already in the order is pushed back when it comes up: one per name, however many
  // records the name gets.
  settling->second.deadline = SteadyClock::now() + options_.settle;
}

std::optional<SteadyClock::time_point> Dispatcher::nextSettled() const {
  if (settleOrder_.empty())
    return std::nullopt;
  return settleOrder_.front().second;
}

void Dispatcher::releaseSettled(size_t limit) {
  const auto now = SteadyClock::now();
  // Every wait is as long as every other, so the order is that of the deadlines: a wait that
  // restarted goes to the back when it comes up, and one dropped meanwhile is skipped.
  size_t released = 0;
  while (!settleOrder_.empty() && settleOrder_.front().second <= now && released < limit) {
    const auto key = settleOrder_.front().first;
    settleOrder_.pop_front();
    auto settling = settling_.find(key);
    if (settling == settling_.end())
      continue;
    if (settling->second.deadline > now) {
      settleOrder_.push_back({key, settling->second.deadline});
      continue;
    }
    const RunKind kind = settling->second.kind;
    settling_.erase(settling);
    run(key.first, key.second, kind);
    ++released;
  }
  endOfRecords();
}

bool Dispatcher::mayHandOver(const std::string& path, const struct stat& info, bool directory) {
  if (path.size() >= kMaxPath)
    return false;
  if (S_ISLNK(info.st_mode)) {
    if (isTrustedOwner(info.st_uid))
      return true;
    logUntrustedLink(path, info.st_uid, log_);
    return false;
  }
  return directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
}

void Dispatcher::handOver(int wd, const std::string& directory, const std::string& name,
                          RunKind kind) {
  // Decided now, on what the name is now, in the very directory watched: a FIFO or a device would
  // block or harm a handler that reads it, and a link planted by an uploader, as the name or as a
  // directory on the way, could lead to any file on the machine.
  const int directoryFd = identity_.openHeld(wd);
  if (directoryFd < 0)
    return;
  const std::string path = joinPath(directory, name);
  struct stat info;
  if (fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      mayHandOver(path, info, kind == RunKind::kDirectoryArrival) &&
      !lookedAtAlready(path, info.st_ctim)) {
    if (kind == RunKind::kArrival && S_ISREG(info.st_mode)) {
      // Renamed into place while its writer may still have it open: handed over once it is
      // complete, as a file found in a new directory is.
      lookAtBatch(wd, directory, directoryFd, {{name, info.st_size == 0}}, true);
    } else {
      callHandler(path, info.st_ctim);
    }
  }
}

void Dispatcher::endOfRecords() {
  identity_.endOfRead();
}

bool Dispatcher::lookedAtAlready(const std::string& path, const timespec& changed) const {
  auto run = recentRuns_.find(path);
  return run != recentRuns_.end() && run->second.byLook && same(run->second.changed, changed);
}

void Dispatcher::callHandler(const std::string& path, const timespec& changed, bool byLook) {
  if (path.size() >= kMaxPath)
    return;  // could be named neither to the handler nor in the log
  writeLog("Call handler " + escapeForLog(handler_) + " with argument: " + escapeForLog(path),
           log_);
  runs_.push(path);
  recentRuns_[path] = {changed, now(), byLook};
}

TreeState Dispatcher::snapshot() const {
  TreeState state;
  state.horizon = earlier(watch_.drainedAt(), kChangeMarginNanoseconds);
  const std::set<std::string> waiting(runs_.waiting().begin(), runs_.waiting().end());
  for (const auto& [path, run] : recentRuns_) {
    if (!waiting.contains(path))
      state.runs.push_back({path, run.changed});
  }
  state.toLook.assign(waiting.begin(), waiting.end());
  for (const auto& [key, settling] : settling_) {
    if (std::optional<std::string> directory = registry_.boundedPathOf(key.first))
      state.toLook.push_back(joinPath(*directory, key.second));
  }
  for (const auto& [wd, entry] : registry_.entries()) {
    if (entry.pending.empty() || entry.departed)
      continue;
    if (std::optional<std::string> directory = registry_.boundedPathOf(wd)) {
      for (const auto& [name, mask] : entry.pending.files())
        state.toLook.push_back(joinPath(*directory, name));
    }
  }
  return state;
}

void Dispatcher::catchUp(const TreeState& state,
                         const std::vector<std::pair<int, std::string>>& changed) {
  const timespec decided = now();
  for (const TreeState::Run& run : state.runs)
    recentRuns_[run.path] = {run.changed, decided};
  // The names saved to be looked at, by the directory that holds them now.
  std::map<std::string, int> directories;
  if (!state.toLook.empty()) {
    for (const auto& [wd, entry] : registry_.entries()) {
      if (entry.departed || !registry_.isRooted(wd))
        continue;
      if (std::optional<std::string> path = registry_.boundedPathOf(wd))
        directories.emplace(*path, wd);
    }
  }
  for (const std::string& path : state.toLook) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
      continue;
    auto directory = directories.find(slash == 0 ? "/" : path.substr(0, slash));
    if (directory == directories.end())
      continue;  // gone, or no longer in the tree
    const std::string name = path.substr(slash + 1);
    auto run = recentRuns_.find(path);
    struct stat info;
    if (run != recentRuns_.end() && lstat(path.c_str(), &info) == 0 &&
        same(run->second.changed, info.st_ctim)) {
      continue;
    }
    if (isExcluded(name))
      continue;
    const bool isDirectory = lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    handOver(directory->second, directory->first, name,
             isDirectory ? RunKind::kDirectoryArrival : RunKind::kArrival);
  }
  // The files the start-up scan found changed since the horizon, directory by directory.
  for (auto first = changed.begin(); first != changed.end();) {
    const int wd = first->first;
    auto last =
        std::find_if(first, changed.end(), [wd](const auto& file) { return file.first != wd; });
    std::vector<std::string> names;
    for (auto file = first; file != last; ++file)
      names.push_back(file->second);
    first = last;
    const std::optional<std::string> directory = registry_.boundedPathOf(wd);
    const int fd = directory && registry_.isRooted(wd) ? identity_.openHeld(wd) : -1;
    if (fd >= 0)
      lookAtNames(wd, *directory, fd, names, &state.horizon);
  }
  endOfRecords();
}

void Dispatcher::forgetOldRuns() {
  // Only runs decided since the queue was last seen empty can be of changes an overflow loses.
  const timespec horizon = earlier(watch_.drainedAt(), kChangeMarginNanoseconds);
  if (!before(forgottenUpTo_, earlier(horizon, kSecond)))
    return;  // at most once a second
  std::erase_if(recentRuns_,
                [&horizon](const auto& run) { return before(run.second.decidedAt, horizon); });
  forgottenUpTo_ = horizon;
}

void logUnwatchable(const std::string& path, int error, std::ostream* log) {
  writeLog("Can't watch directory " + escapeForLog(path) + " - " + strerror(error), log);
}

void logUntrustedLink(const std::string& path, uid_t owner, std::ostream* log) {
  writeLog("Skip link " + escapeForLog(path) + " - owned by uid " + std::to_string(owner), log);
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
  lookAtFiles(newlyWatched);
}

void Dispatcher::lookAtFiles(const std::vector<int>& directories, const timespec* changedSince) {
  for (int wd : directories) {
    const std::optional<std::string> directory = registry_.boundedPathOf(wd);
    // Opened only when its path still leads to the directory watched: a look through a name
    // swapped for a link would hand over another directory's files.
    const int fd = directory ? identity_.openWatched(wd) : -1;
    if (fd < 0)
      continue;
    std::unique_ptr<DIR, int (*)(DIR*)> stream(fdopendir(fd), closedir);
    if (!stream) {
      close(fd);
      continue;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(stream.get())) {
      if (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)
        names.emplace_back(entry->d_name);
    }
    lookAtNames(wd, *directory, dirfd(stream.get()), names, changedSince);
  }
}

void Dispatcher::lookAtNames(int wd, const std::string& directory, int directoryFd,
                             const std::vector<std::string>& names, const timespec* changedSince) {
  std::vector<FoundFile> batch;
  for (const std::string& name : names) {
    // Only regular files: opening a device or a FIFO to look at it could have effects.
    struct stat info;
    if (fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || isExcluded(name)) {
      continue;
    }
    if (changedSince != nullptr) {
      // A file written and not yet closed may have lost its close: a close changes no time.
      if (before(info.st_ctim, *changedSince) && registry_.pendingMask(wd, name) == 0)
        continue;
      // Run already, and not changed since: its run stands.
      auto run = recentRuns_.find(joinPath(directory, name));
      if (run != recentRuns_.end() && same(run->second.changed, info.st_ctim))
        continue;
    }
    batch.push_back({name, info.st_size == 0});
    if (batch.size() == kLeasesPerMark) {
      lookAtBatch(wd, directory, directoryFd, batch);
      batch.clear();
    }
  }
  lookAtBatch(wd, directory, directoryFd, batch);
}

void Dispatcher::lookAtBatch(int wd, const std::string& directory, int directoryFd,
                             const std::vector<FoundFile>& files, bool settled) {
  std::vector<std::pair<std::string, ReadLease>> complete;
  std::vector<std::string> empty;
  for (const FoundFile& file : files) {
    if (file.empty) {
      empty.push_back(file.name);
      continue;
    }
    ReadLease lease;
    switch (lease.take(directoryFd, file.name)) {
      case WriterState::kNoWriter:
        complete.emplace_back(file.name, std::move(lease));
        break;
      case WriterState::kWriter:
      case WriterState::kUnknown:
        // Its close is still to come, or may be: never hand over a file that may be half
        // written. Noted as created, so that its close runs the handler.
        registry_.notePending(wd, file.name, IN_CREATE);
        break;
      case WriterState::kGone:
        break;
    }
  }
  if (complete.empty() && empty.empty())
    return;
  // While the leases hold, nobody can write these files: every record of theirs queued before
  // the mark tells of the completion handled here, and every one after it of a new write.
  int mark = -1;
  if (!complete.empty()) {
    const auto& [firstName, firstLease] = complete.front();
    mark = watch_.placeQueueMark(joinPath(directory, firstName), firstLease.fd());
  } else {
    // Through a path descriptor, which opens nothing: the name may be a device or a FIFO by now.
    Descriptor file(openat(directoryFd, empty.front().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (file.get() >= 0 && fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode))
      mark = watch_.placeQueueMark(joinPath(directory, empty.front()), file.get());
  }
  for (auto& [name, lease] : complete) {
    struct stat info;
    if (fstat(lease.fd(), &info) != 0)
      info.st_ctim = {};
    // A writer that created the file before the lease, and opened it for writing only after,
    // waits for the lease now: its close, queued after the mark, runs the handler.
    if (lease.breaking()) {
      lease.release();
      registry_.notePending(wd, name, IN_CREATE);
      continue;
    }
    lease.release();
    // Without a mark the two cannot be told apart: a close already queued runs it again.
    if (mark >= 0) {
      lookedAt_[{wd, name}] = mark;
      lookedAtByMark_[mark].emplace_back(wd, name);
    }
    // Completed while no record could tell of it (before the watch existed, or while records
    // were lost): the look decides. A name still settling is looked at again when it has.
    registry_.clearPending(wd, name);
    decideLooked(wd, directory, name, info.st_ctim, settled);
  }
  for (const std::string& name : empty) {
    registry_.notePending(wd, name, IN_CREATE);
    if (mark >= 0) {
      emptyAtLook_[{wd, name}] = {mark, settled};
      lookedAtByMark_[mark].emplace_back(wd, name);
    } else {
      decideEmpty(wd, name, settled);
    }
  }
}

void Dispatcher::decideLooked(int wd, const std::string& directory, const std::string& name,
                              const timespec& changed, bool settled) {
  if (options_.settle.count() > 0 && !settled) {
    decide(wd, name, RunKind::kArrival);
  } else {
    callHandler(joinPath(directory, name), changed, true);
  }
}

void Dispatcher::noteEmptyAtLookRecord(const inotify_event& event, const std::string& name) {
  auto looked = emptyAtLook_.find({event.wd, name});
  if (looked == emptyAtLook_.end())
    return;
  if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
    emptyAtLook_.erase(looked);
    return;
  }
  if (event.mask & IN_CREATE)
    looked->second.createdUnclosed = true;
  if (event.mask & IN_CLOSE_WRITE)
    looked->second.createdUnclosed = false;
}

void Dispatcher::decideEmptyAtLook(const std::pair<int, std::string>& file, int mark) {
  auto found = emptyAtLook_.find(file);
  if (found == emptyAtLook_.end() || found->second.mark != mark)
    return;
  const EmptyAtLook looked = found->second;
  emptyAtLook_.erase(found);
  // Created while watched and not closed yet: the open that created it is still under way (or
  // the name was linked, which no close completes in a directory watched all along either).
  if (!looked.createdUnclosed)
    decideEmpty(file.first, file.second, looked.settled);
}

void Dispatcher::decideEmpty(int wd, const std::string& name, bool settled) {
  // A close read meanwhile ran it, or it went.
  if (registry_.pendingMask(wd, name) == 0)
    return;
  const std::optional<std::string> directory = registry_.boundedPathOf(wd);
  if (!directory)
    return;  // its directory went
  const int directoryFd = registry_.isRooted(wd) ? identity_.openHeld(wd) : -1;
  if (directoryFd < 0) {
    // Its directory, or one above, was moved or replaced since the look: the records that tell
    // where to are still queued. It is looked at again once they are read.
    waitToRun(wd, name, RunKind::kArrival, SteadyClock::now());
    return;
  }
  ReadLease lease;
  const WriterState state = lease.take(directoryFd, name);
  if (state == WriterState::kGone)
    registry_.clearPending(wd, name);
  if (state != WriterState::kNoWriter)
    return;
  // Written since it was found: the close of that write is queued, and runs it.
  struct stat info;
  if (fstat(lease.fd(), &info) != 0 || info.st_size != 0 || lease.breaking())
    return;
  lease.release();
  registry_.clearPending(wd, name);
  decideLooked(wd, *directory, name, info.st_ctim, settled);
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
  for (const auto& [file, looked] : emptyAtLook_)
    waitToRun(file.first, file.second, RunKind::kArrival, SteadyClock::now());
  emptyAtLook_.clear();
  lookedAt_.clear();
  lookedAtByMark_.clear();
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
      decide(entry.parent, entry.name, RunKind::kDirectoryArrival);
  }
  // Renamed inside the tree: its files were watched all along; the directory itself arrived.
  for (int wd : renamed) {
    const WatchEntry& entry = registry_.entries().at(wd);
    if (!origins.contains(entry.parent) && registry_.isRooted(wd))
      decide(entry.parent, entry.name, RunKind::kDirectoryArrival);
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
  lookAtFiles(byChange, &since);
  lookAtFiles(whole);
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
  endOfRecords();
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

}  // namespace vellumd
