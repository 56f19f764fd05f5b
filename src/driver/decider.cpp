// decider.cpp: the decision to run the handler for one name.
#include "driver/decider.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>

#include "base/descriptor.h"
#include "base/times.h"
#include "log/log.h"
#include "log/own_file.h"
#include "watch/dir_scan.h"

namespace vellumd {

Decider::Decider(WatchedTree& tree, HandlerQueue& runs, const std::string& handler,
                 std::ostream* log, const DispatchOptions& options)
    : watch_(tree.watch),
      registry_(tree.watch.registry()),
      identity_(tree.identity),
      runs_(runs),
      handler_(handler),
      log_(log),
      options_(options),
      settle_(options.settle),
      look_(tree.watch, tree.identity, recent_, options.excludes) {}

Decider::~Decider() = default;

bool Decider::isExcluded(const std::string& name) const {
  return matchesAnyPattern(name, options_.excludes);
}

void Decider::decide(int wd, const std::string& name, RunKind kind) {
  if (isExcluded(name))
    return;
  if (options_.settle.count() > 0) {
    waitToRun(wd, name, kind, SettleQueue::Clock::now() + options_.settle);
    return;
  }
  run(wd, name, kind);
}

void Decider::waitToRun(int wd, const std::string& name, RunKind kind,
                        SettleQueue::Clock::time_point deadline) {
  settle_.wait({wd, name}, kind, deadline);
}

bool Decider::noteRecord(const inotify_event& event, const std::string& name) {
  // Gone or renamed away: the name's run goes with it (an arrival under the new name has its
  // own). Anything else done to it restarts the wait.
  if (!settle_.empty())
    settle_.noteRecord({event.wd, name}, (event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0);
  return (event.mask & IN_ISDIR) == 0 && look_.noteRecord(event, name);
}

void Decider::lookAt(const std::vector<int>& directories, const timespec* changedSince) {
  act(look_.atFiles(directories, changedSince));
}

void Decider::act(const std::vector<LookFinding>& findings) {
  for (const LookFinding& found : findings) {
    if (found.kind == LookFinding::Kind::kLookAgain) {
      waitToRun(found.wd, found.name, RunKind::kArrival, SettleQueue::Clock::now());
    } else if (options_.settle.count() > 0 && !found.settled) {
      // A name still settling is looked at again when it has.
      decide(found.wd, found.name, RunKind::kArrival);
    } else {
      callHandler(joinPath(found.directory, found.name), found.changed, true);
    }
  }
}

void Decider::run(int wd, const std::string& name, RunKind kind) {
  const WatchRegistry::Location where = registry_.locate(wd);
  if (where.status != WatchRegistry::Location::Status::kInTree)
    return;
  // A name that settled may have been opened again meanwhile: it gets the look an arrival gets.
  if (kind == RunKind::kClose && options_.settle.count() > 0)
    kind = RunKind::kArrival;
  handOver(wd, where.path, name, kind);
}

void Decider::releaseSettled(size_t limit) {
  for (const auto& [name, kind] : settle_.takeDue(SettleQueue::Clock::now(), limit))
    run(name.first, name.second, kind);
  identity_.endOfRead();
}

bool Decider::mayHandOver(const std::string& path, const struct stat& info, bool directory) {
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

void Decider::handOver(int wd, const std::string& directory, const std::string& name,
                       RunKind kind) {
  // Decided now, on what the name is now, in the very directory watched: a FIFO or a device would
  // block or harm a handler that reads it, and a link planted by an uploader, as the name or as a
  // directory on the way, could lead to any file on the machine.
  const int directoryFd = identity_.openHeld(wd);
  if (directoryFd < 0)
    return;
  const std::string path = joinPath(directory, name);
  struct stat info;
  if (fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !mayHandOver(path, info, kind == RunKind::kDirectoryArrival) ||
      recent_.lookedAtAlready(path, info.st_ctim)) {
    return;
  }
  if (kind == RunKind::kArrival && S_ISREG(info.st_mode)) {
    // Renamed into place while its writer may still have it open: handed over once it is
    // complete, as a file found in a new directory is.
    act(look_.atArrival(wd, directory, directoryFd, name, info.st_size == 0));
  } else {
    callHandler(path, info.st_ctim);
  }
}

void Decider::callHandler(const std::string& path, const timespec& changed, bool byLook) {
  if (path.size() >= kMaxPath)
    return;  // could be named neither to the handler nor in the log
  writeLog("Call handler " + escapeForLog(handler_) + " with argument: " + escapeForLog(path),
           log_);
  runs_.push(path);
  recent_.note(path, changed, byLook);
}

bool Decider::mayRunAgain(const std::string& target, const std::string& path) {
  if (path.size() <= target.size() + 1 || path.compare(0, target.size(), target) != 0 ||
      path[target.size()] != '/') {
    return false;
  }
  // Walked name by name, refusing links on the way, as the decision before the first run was
  // made in the very directory watched: a name replaced by a link meanwhile leads nowhere.
  Descriptor directory(open(target.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  size_t at = target.size() + 1;
  for (size_t slash; directory.get() >= 0 && (slash = path.find('/', at)) != std::string::npos;
       at = slash + 1) {
    const std::string name = path.substr(at, slash - at);
    if (name.empty() || name == "." || name == "..")
      return false;
    directory = Descriptor(
        openat(directory.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  const std::string name = path.substr(at);
  struct stat info;
  return directory.get() >= 0 && name != "." && name != ".." &&
         fstatat(directory.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         mayHandOver(path, info, S_ISDIR(info.st_mode));
}

void Decider::forgetOldRuns() {
  // Only runs decided since the queue was last seen empty can be of changes an overflow loses.
  recent_.forgetBefore(earlier(watch_.drainedAt(), kChangeMarginNanoseconds));
}

bool Decider::handOverPolled(int directoryFd, const std::string& directory,
                             const std::string& name) {
  const std::string path = joinPath(directory, name);
  struct stat info;
  if (isExcluded(name) || fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !mayHandOver(path, info, false) || recent_.ranAt(path, info.st_ctim)) {
    return true;
  }
  if (S_ISREG(info.st_mode)) {
    ReadLease lease;
    if (lease.take(directoryFd, name) == WriterState::kWriter)
      return false;
  }
  callHandler(path, info.st_ctim);
  return true;
}

void Decider::notePolled(const timespec& horizon, std::vector<std::string> pending) {
  const timespec since = earlier(horizon, kChangeMarginNanoseconds);
  polled_ = Polled{since, std::move(pending)};
  recent_.forgetBefore(since);
}

TreeState Decider::snapshot(bool orderlyStop) const {
  TreeState state;
  state.horizon = earlier(watch_.drainedAt(), kChangeMarginNanoseconds);
  // Polling, the last scan's time tells how far the tree was seen, and the files seen changed and
  // not yet handed over are looked at again.
  if (polled_)
    state.horizon = polled_->horizon;
  // Runs to start again after a restart: queued first tries, and runs under way unless they go on.
  std::set<std::string> again;
  const std::deque<std::string>& queued = runs_.waiting();
  const std::vector<PendingRetry> retries = runs_.pendingRetries();
  std::set<std::string> retrying;
  for (const PendingRetry& retry : retries)
    retrying.insert(retry.path);
  for (const std::string& path : queued) {
    if (!retrying.contains(path))
      again.insert(path);
  }
  if (!orderlyStop) {
    for (std::string& path : runs_.runningPaths())
      again.insert(std::move(path));
  }
  state.runs = recent_.saved([&again](const std::string& path) { return again.contains(path); });
  if (polled_)
    state.toLook = polled_->pending;
  state.toLook.insert(state.toLook.end(), again.begin(), again.end());
  const unsigned tries = runs_.policy().retries + 1;
  const auto steadyNow = HandlerQueue::Clock::now();
  const timespec wallNow = wallClockNow();
  for (const PendingRetry& retry : retries) {
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(retry.due - steadyNow, HandlerQueue::Clock::duration::zero()));
    timespec due = wallNow;
    due.tv_sec += static_cast<time_t>(wait.count() / 1'000'000'000);
    due.tv_nsec += static_cast<long>(wait.count() % 1'000'000'000);
    if (due.tv_nsec >= 1'000'000'000) {
      ++due.tv_sec;
      due.tv_nsec -= 1'000'000'000;
    }
    const unsigned left = tries + 1 > retry.nextTry ? tries + 1 - retry.nextTry : 1;
    state.retries.push_back({retry.path, left, due});
  }
  for (const auto& [wd, name] : settle_.names()) {
    if (std::optional<std::string> directory = registry_.boundedPathOf(wd))
      state.toLook.push_back(joinPath(*directory, name));
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

void Decider::catchUp(const TreeState& state,
                      const std::vector<std::pair<int, std::string>>& changed) {
  recent_.restore(state.runs);
  // Queued before the looks below, whose new completions replace them.
  const unsigned tries = runs_.policy().retries + 1;
  const timespec wallNow = wallClockNow();
  for (const TreeState::Retry& retry : state.retries) {
    const long long waitNs =
        std::max(0LL, (static_cast<long long>(retry.due.tv_sec) - wallNow.tv_sec) * 1'000'000'000 +
                          (retry.due.tv_nsec - wallNow.tv_nsec));
    const unsigned nextTry = tries >= retry.triesLeft ? tries - retry.triesLeft + 1 : 1;
    runs_.restoreRetry({retry.path, std::max(nextTry, 2u),
                        HandlerQueue::Clock::now() + std::chrono::nanoseconds(waitNs)});
  }
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
    const int directoryFd = identity_.openHeld(directory->second);
    struct stat info;
    if (isExcluded(name) || directoryFd < 0 ||
        fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        recent_.ranAt(path, info.st_ctim)) {
      continue;
    }
    handOver(directory->second, directory->first, name,
             S_ISDIR(info.st_mode) ? RunKind::kDirectoryArrival : RunKind::kArrival);
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
      act(look_.atNames(wd, *directory, fd, names, &state.horizon));
  }
  identity_.endOfRead();
}

void logUntrustedLink(const std::string& path, uid_t owner, std::ostream* log) {
  writeLog("Skip link " + escapeForLog(path) + " - owned by uid " + std::to_string(owner), log);
}

}  // namespace vellumd
