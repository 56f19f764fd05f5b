// inotify_watch.cpp: the registry of watched directories and its move and write bookkeeping.
#include "watch/inotify_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "errors/errors.h"
#include "watch/dir_scan.h"

namespace vellumd {

bool ScanOptions::skips(int error) const {
  // A busy tree loses directories between the stat() and the watch, or turns them into files or
  // links; and a name may lead nowhere (a link loop, a path beyond PATH_MAX). None of that is
  // the daemon's fault, nor a reason to stop watching the rest.
  const bool unreachable =
      error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
  return unreachable || (skipUnreadable && error == EACCES);
}

InotifyWatch::InotifyWatch(const std::string& target, const std::vector<std::string>& ignore,
                           uint32_t mask, const ScanOptions& options)
    : defaultMask_(mask), ignoreList_(ignore) {
  fd_ = inotify_init();
  if (fd_ == -1) {
    int error = errno;
    throw SystemError("inotify_init fail!!", error);
  }
  buffer_ = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  try {
    watchTree(target, ignore, options);
  } catch (...) {
    // A constructor that throws runs no destructor: give the descriptor back here.
    close(fd_);
    fd_ = -1;
    throw;
  }
}

InotifyWatch::~InotifyWatch() {
  buffer_.reset();
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

bool InotifyWatch::isIgnored(const std::string& name) const {
  return std::find(ignoreList_.begin(), ignoreList_.end(), name) != ignoreList_.end();
}

bool InotifyWatch::isSelfOrAncestor(int ancestor, int wd) const {
  return depthBelow(ancestor, wd) >= 0;
}

int InotifyWatch::depthBelow(int ancestor, int wd, bool stopAtLinks) const {
  for (size_t depth = 0; wd != -1 && depth <= entries_.size(); ++depth) {
    if (wd == ancestor)
      return static_cast<int>(depth);
    auto it = entries_.find(wd);
    if (it == entries_.end() || (stopAtLinks && it->second.viaLink))
      return -1;
    wd = it->second.parent;
  }
  return -1;
}

int InotifyWatch::addWatch(int parent, const std::string& name, uint32_t mask) {
  return placeWatch(parent, name, mask).wd;
}

PlacedWatch InotifyWatch::placeWatch(int parent, const std::string& name, uint32_t mask,
                                     bool viaLink) {
  if (isIgnored(name))
    return {-1, WatchOutcome::kIgnored};
  return placeWatchAt(parent, name, joinPath(pathOf(parent), name), mask, viaLink);
}

PlacedWatch InotifyWatch::placeWatchAt(int parent, const std::string& name, const std::string& path,
                                       uint32_t mask, bool viaLink) {
  if (mask == 0)
    mask = defaultMask_;
  // IN_ONLYDIR: by the time a record about a new directory is read, its name may belong to a
  // file; a watch on that file would report its own writes as those of a directory's entries.
  int wd = inotify_add_watch(fd_, path.c_str(), mask | IN_ONLYDIR);
  if (wd == -1) {
    int error = errno;
    throw SystemError("inotify_add_watch fail!!", error);
  }
  auto [it, inserted] = entries_.try_emplace(wd);
  WatchEntry& entry = it->second;
  if (inserted) {
    entry.parent = parent;
    entry.name = name;
    entry.viaLink = viaLink;
    return {wd, WatchOutcome::kNew};
  }
  // The kernel returns the existing descriptor when a directory is reached twice, through a link
  // or a bind mount. One that leads back to this parent or above it would close the parent chain
  // into a ring, and neither pathOf nor the scan would end: such a directory stays where it is.
  if (parent != -1 && isSelfOrAncestor(wd, parent))
    return {-1, WatchOutcome::kWouldLoop};
  if (entry.parent == parent && entry.name == name)
    return {wd, WatchOutcome::kUnchanged};
  // Pending masks name files of this very directory, whichever way it was reached: they stay,
  // so that a rescan or a second way in loses no file still being written.
  entry.parent = parent;
  entry.name = name;
  entry.viaLink = viaLink;
  return {wd, WatchOutcome::kReparented};
}

std::optional<PlacedWatch> InotifyWatch::tryPlaceWatch(int parent, const std::string& name,
                                                       bool viaLink, const ScanOptions& options) {
  if (isIgnored(name))
    return PlacedWatch{-1, WatchOutcome::kIgnored};
  const std::string path = joinPath(pathOf(parent), name);
  PlacedWatch placed;
  try {
    placed = placeWatchAt(parent, name, path, defaultMask_, viaLink);
  } catch (const SystemError& error) {
    if (!options.skips(error.code))
      throw;
    if (options.onSkipped)
      options.onSkipped(path, error.code);
    return std::nullopt;
  }
  if (placed.outcome == WatchOutcome::kNew && options.newlyWatched != nullptr) {
    options.newlyWatched->push_back(placed.wd);
  }
  return placed;
}

std::string InotifyWatch::pathOf(int wd) const {
  if (wd == -1)
    return "";
  auto it = entries_.find(wd);
  if (it == entries_.end())
    throw NotFoundError("watch descrepter not found!!");
  std::string path = it->second.name;
  int p = it->second.parent;
  for (size_t steps = 0; p != -1 && steps < entries_.size(); ++steps) {
    auto up = entries_.find(p);
    if (up == entries_.end())
      break;
    path = joinPath(up->second.name, path);
    p = up->second.parent;
  }
  return path;
}

void InotifyWatch::removeWatch(int wd) {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return;
  entries_.erase(it);
  inotify_rm_watch(fd_, wd);
}

void InotifyWatch::watchTree(const std::string& target, const std::vector<std::string>& ignore,
                             const ScanOptions& options) {
  if (target.empty() || !isDirectory(target))
    return;
  std::optional<PlacedWatch> placed = tryPlaceWatch(-1, target, false, options);
  // An ignored target ("." or "..") still has its contents scanned, with no parent.
  if (placed)
    scanDirectory(*this, placed->wd, target, ignore, options);
}

std::optional<PlacedWatch> InotifyWatch::watchSubtree(int parent, const std::string& name,
                                                      const ScanOptions& options) {
  std::optional<PlacedWatch> placed = tryPlaceWatch(parent, name, false, options);
  // A directory registered here already was scanned when it was registered; whatever appeared in
  // it since has records of its own.
  if (placed && placed->wd >= 0 && placed->outcome != WatchOutcome::kUnchanged) {
    scanDirectory(*this, placed->wd, pathOf(placed->wd), ignoreList_, options);
  }
  return placed;
}

void InotifyWatch::recordMoveFrom(int wd, const std::string& name, uint32_t cookie) {
  for (const auto& [descriptor, entry] : entries_) {
    if (entry.parent == wd && entry.name == name && !entry.departed)
      moves_[cookie] = descriptor;
  }
}

bool InotifyWatch::completeMoveTo(int wd, const std::string& name, uint32_t cookie) {
  auto move = moves_.find(cookie);
  if (move == moves_.end())
    return false;
  auto it = entries_.find(move->second);
  if (it == entries_.end())
    return false;
  it->second.parent = wd;
  it->second.name = name;
  moves_.erase(move);
  return true;
}

void InotifyWatch::removeChild(int wd, const std::string& name) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.parent == wd && it->second.name == name) {
      int descriptor = it->first;
      it = entries_.erase(it);
      inotify_rm_watch(fd_, descriptor);
    } else {
      ++it;
    }
  }
}

void InotifyWatch::forgetMoves() {
  moves_.clear();
}

bool InotifyWatch::hasUnmatchedDeparture(int wd) const {
  return std::any_of(moves_.begin(), moves_.end(),
                     [wd](const auto& move) { return move.second == wd; });
}

void InotifyWatch::detachSubtree(int wd) {
  if (!entries_.contains(wd))
    return;
  std::vector<std::pair<int, int>> leaving;  // (depth below wd, descriptor)
  for (const auto& [descriptor, entry] : entries_) {
    int depth = entry.departed ? -1 : depthBelow(wd, descriptor, true);
    if (depth >= 0)
      leaving.emplace_back(depth, descriptor);
  }
  // Deepest first: the kernel answers each removal with IN_IGNORED after the records it had
  // already queued for that watch, and forgetWatch drops the entry then. Removing children before
  // their parents keeps every queued record's whole old path resolvable for the log.
  std::sort(leaving.begin(), leaving.end(), std::greater<>());
  for (auto [depth, descriptor] : leaving) {
    entries_[descriptor].departed = true;
    inotify_rm_watch(fd_, descriptor);
  }
  std::erase_if(moves_, [this](const auto& move) {
    auto it = entries_.find(move.second);
    return it != entries_.end() && it->second.departed;
  });
}

bool InotifyWatch::isRooted(int wd) const {
  for (size_t steps = 0; wd != -1 && steps <= entries_.size(); ++steps) {
    auto it = entries_.find(wd);
    if (it == entries_.end() || it->second.departed)
      return false;
    wd = it->second.parent;
  }
  return wd == -1;
}

bool InotifyWatch::isDeparted(int wd) const {
  auto it = entries_.find(wd);
  return it != entries_.end() && it->second.departed;
}

void InotifyWatch::forgetWatch(int wd) {
  if (entries_.erase(wd) == 0)
    return;
  std::erase_if(moves_, [wd](const auto& move) { return move.second == wd; });
}

int InotifyWatch::placeQueueMark(const std::string& path, int fd) {
  // Through the descriptor, not the path: the name may meanwhile belong to something else, a
  // watched directory even, whose watch the mark's mask would replace.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  int wd = inotify_add_watch(fd_, self.c_str(), IN_DELETE_SELF);
  if (wd == -1)
    return -1;
  auto [it, inserted] = entries_.try_emplace(wd);
  if (!inserted)
    return -1;  // already one of ours: not a fresh mark
  it->second.name = path;
  it->second.departed = true;
  inotify_rm_watch(fd_, wd);
  return wd;
}

void InotifyWatch::notePending(int wd, const std::string& name, uint32_t mask) {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return;
  it->second.pending[name] |= mask;
}

uint32_t InotifyWatch::pendingMask(int wd, const std::string& name) const {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return 0;
  auto file = it->second.pending.find(name);
  return file == it->second.pending.end() ? 0 : file->second;
}

void InotifyWatch::clearPending(int wd, const std::string& name) {
  auto it = entries_.find(wd);
  if (it != entries_.end())
    it->second.pending.erase(name);
}

std::pair<const std::byte*, int64_t> InotifyWatch::readEvents() {
  ssize_t count = read(fd_, buffer_.get(), kBufferSize);
  if (count < 0) {
    int error = errno;
    throw SystemError("read fail!!", error);
  }
  return {buffer_.get(), static_cast<int64_t>(count)};
}

std::string joinPath(const std::string& base, const std::string& name) {
  if (!name.empty() && name.front() == '/')
    return name;
  if (base.empty())
    return "/" + name;
  if (base.back() == '/')
    return base + name;
  std::string joined;
  joined.reserve(base.size() + 1 + name.size());
  joined.append(base).append("/").append(name);
  return joined;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace vellumd
