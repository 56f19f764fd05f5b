// inotify_watch.cpp: the registry of watched directories and its move and write bookkeeping.
#include "watch/inotify_watch.h"

#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "errors/errors.h"
#include "watch/descriptor.h"
#include "watch/dir_scan.h"

namespace vellumd {

namespace {
// How many renames may wait for their IN_MOVE_SELF. A departure recorded for a stale twin never
// gets one; the oldest go first.
constexpr size_t kMaxPendingMoves = 1024;

// "/proc/self/fd/N": the path by which the kernel reaches exactly the file open as N. Built in
// place, since one is made for every directory watched.
class ProcPath {
 public:
  explicit ProcPath(int fd) { snprintf(text_, sizeof text_, "/proc/self/fd/%d", fd); }
  const char* c_str() const { return text_; }
  std::string str() const { return text_; }

 private:
  char text_[32];
};

// The names from a directory up, joined once from the top: prepending at every level would copy
// the path once per level.
std::string joinFromTop(const std::vector<const std::string*>& names) {
  size_t length = 0;
  for (const std::string* name : names)
    length += name->size() + 1;
  std::string path;
  path.reserve(length);
  path = *names.back();
  // As joinPath joins, level by level.
  for (auto name = names.rbegin() + 1; name != names.rend(); ++name) {
    if (!(*name)->empty() && (*name)->front() == '/') {
      path = **name;
      continue;
    }
    if (path.empty() || path.back() != '/')
      path.push_back('/');
    path.append(**name);
  }
  return path;
}

// Reads the entries of a directory it owns with getdents64() into a buffer of its own. Unlike
// fdopendir(), it costs no fstat(), fcntl() or allocation per directory: the scan reads one
// directory per watch it places, and those calls would be a third of its system calls.
class DirectoryReader {
 public:
  static constexpr size_t kBufferSize = 8192;

  // `pathLength`: the length of the directory's path, as boundedPathLength gives it; nothing when
  // it reaches kMaxPath. `separator`: 1, or 0 below a target whose name ends with a slash.
  DirectoryReader(int wd, int fd, std::optional<size_t> pathLength, size_t separator = 1)
      : wd_(wd),
        fd_(fd),
        buffer_(new char[kBufferSize]),
        pathLength_(pathLength),
        separator_(separator) {}
  int wd() const { return wd_; }
  std::optional<size_t> pathLength() const { return pathLength_; }
  // The length of the path of the entry `name` inside, when it fits.
  std::optional<size_t> childPathLength(const char* name) const {
    if (!pathLength_)
      return std::nullopt;
    const size_t length = *pathLength_ + separator_ + strlen(name);
    return length < kMaxPath ? std::optional(length) : std::nullopt;
  }
  int fd() const { return fd_.get(); }
  // The next entry ("." and ".." included); null at the end or on an error.
  const dirent64* next() {
    if (offset_ == filled_) {
      const ssize_t count = getdents64(fd_.get(), buffer_.get(), kBufferSize);
      if (count <= 0)
        return nullptr;
      filled_ = static_cast<size_t>(count);
      offset_ = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + offset_);
    offset_ += entry->d_reclen;
    return entry;
  }

 private:
  int wd_;                          // the directory's watch
  Descriptor fd_;                   // the directory, open for reading
  std::unique_ptr<char[]> buffer_;  // kBufferSize bytes of records from getdents64()
  size_t filled_ = 0;
  size_t offset_ = 0;
  std::optional<size_t> pathLength_;
  size_t separator_;
};

// How many directories, one inside the other, the scan reads at once. Each one deeper is opened
// through its parent and watched through that open descriptor, so that nothing has to be checked
// again before it is read; below this depth a directory is re-opened by its path, after checking
// that the path still leads to it. Fewer under a low descriptor limit: the daemon's own
// descriptors and a link's two while it is followed must still fit.
constexpr size_t kOpenLevels = 12;
constexpr size_t kDescriptorsKept = 16;

size_t openLevels() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kOpenLevels;
  const size_t spare = limit.rlim_cur > kDescriptorsKept ? limit.rlim_cur - kDescriptorsKept : 0;
  return std::clamp<size_t>(spare / 2, 1, kOpenLevels);
}
}  // namespace

bool ScanOptions::skips(int error) const {
  // A busy tree loses directories between the stat() and the watch, or turns them into files or
  // links; and a name may lead nowhere (a link loop, a path beyond PATH_MAX). None of that is
  // the daemon's fault, nor a reason to stop watching the rest.
  const bool unreachable =
      error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
  return unreachable || (skipUnreadable && error == EACCES) ||
         (starved != nullptr && error == ENOSPC);
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
  clock_gettime(CLOCK_REALTIME, &drainedAt_);
  emptiedAt_ = drainedAt_;
  procFds_ = access("/proc/self/fd", X_OK) == 0;
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
  return placeWatchAt(parent, name, joinPath(pathOf(parent), name).c_str(), mask, viaLink);
}

PlacedWatch InotifyWatch::placeWatchAt(int parent, const std::string& name, const char* path,
                                       uint32_t mask, bool viaLink) {
  if (mask == 0)
    mask = defaultMask_;
  // IN_ONLYDIR: by the time a record about a new directory is read, its name may belong to a
  // file; a watch on that file would report its own writes as those of a directory's entries.
  // IN_MASK_ADD: re-adding a watched directory with IN_MASK_ADD changes nothing; without it the
  // kernel empties the watch's mask before setting it again, and a record of a change made on
  // another processor in that moment is lost.
  int wd = inotify_add_watch(fd_, path, mask | IN_ONLYDIR | IN_MASK_ADD);
  if (wd == -1) {
    int error = errno;
    throw SystemError("inotify_add_watch fail!!", error);
  }
  // The kernel hands out descriptors in rising order: a new one nearly always goes at the end,
  // where the hint makes its insertion cost no search.
  const bool newest = entries_.empty() || entries_.rbegin()->first < wd;
  auto [it, inserted] =
      newest ? std::pair(entries_.emplace_hint(entries_.end(), wd, WatchEntry{}), true)
             : entries_.try_emplace(wd);
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
  return tryPlaceWatchAt(parent, name, joinPath(pathOf(parent), name).c_str(), 0, viaLink, options);
}

std::optional<PlacedWatch> InotifyWatch::skipped(int parent, const std::string& name, int error,
                                                 const ScanOptions& options) {
  if (!options.skips(error))
    throw SystemError("inotify_add_watch fail!!", error);
  if (options.onSkipped) {
    // Never a path beyond kMaxPath in the log, however deep renames have pushed the parent.
    std::optional<std::string> parentPath =
        parent == -1 ? std::optional<std::string>("") : boundedPathOf(parent);
    options.onSkipped(joinPath(parentPath ? *parentPath : "...", name), error);
  }
  if (error == ENOSPC && options.starved != nullptr)
    options.starved->emplace_back(parent, name);
  return std::nullopt;
}

std::optional<PlacedWatch> InotifyWatch::tryPlaceWatchAt(int parent, const std::string& name,
                                                         const char* kernelPath, uint32_t flags,
                                                         bool viaLink, const ScanOptions& options,
                                                         std::optional<size_t> parentLength) {
  // A directory whose path would not fit could never be named to the handler or the log.
  if (parent != -1) {
    if (!parentLength)
      parentLength = boundedPathLength(parent);
    if (!parentLength || *parentLength + 1 + name.size() >= kMaxPath)
      return skipped(parent, name, ENAMETOOLONG, options);
  }
  PlacedWatch placed;
  try {
    placed = placeWatchAt(parent, name, kernelPath, defaultMask_ | flags, viaLink);
  } catch (const SystemError& error) {
    return skipped(parent, name, error.code, options);
  }
  if (placed.outcome == WatchOutcome::kNew && options.newlyWatched != nullptr)
    options.newlyWatched->push_back(placed.wd);
  if (placed.outcome == WatchOutcome::kReparented && options.reparented != nullptr)
    options.reparented->push_back(placed.wd);
  return placed;
}

std::optional<PlacedWatch> InotifyWatch::watchEntry(int parent, int parentFd,
                                                    const std::string& name, unsigned char type,
                                                    const ScanOptions& options, int* opened,
                                                    std::optional<size_t> parentLength) {
  if (isIgnored(name))
    return std::nullopt;
  if (options.excluded != nullptr && std::any_of(options.excluded->begin(), options.excluded->end(),
                                                 [&name](const std::string& pattern) {
                                                   return fnmatch(pattern.c_str(), name.c_str(),
                                                                  0) == 0;
                                                 })) {
    return std::nullopt;
  }
  // A name a record announced as a directory is reported when it is not one any more; a name
  // readdir described is simply passed over.
  const bool announced = type == DT_UNKNOWN;
  if (announced) {
    struct stat info;
    if (fstatat(parentFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
      return skipped(parent, name, errno, options);
    type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
  }
  if (type != DT_DIR && type != DT_LNK)
    return announced ? skipped(parent, name, ENOTDIR, options) : std::nullopt;
  // Through the open parent, never by the whole path: any directory on the way may have become a
  // link to somewhere else since it was read.
  const auto throughParent = [&] {
    return procFds_ ? ProcPath(parentFd).str() + "/" + name : joinPath(pathOf(parent), name);
  };
  if (type == DT_DIR && opened != nullptr && procFds_) {
    // Opened first and watched through the open descriptor: the directory watched is the one
    // the caller reads, and nothing needs to be checked before it is.
    Descriptor directory(openat(parentFd, name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (directory.get() >= 0) {
      std::optional<PlacedWatch> placed = tryPlaceWatchAt(
          parent, name, ProcPath(directory.get()).c_str(), 0, false, options, parentLength);
      if (placed && placed->wd >= 0)
        *opened = directory.release();
      return placed;
    }
    // Out of descriptors: watched by its name through the parent, read later.
    if (errno != EMFILE && errno != ENFILE)
      return skipped(parent, name, errno == ELOOP ? ENOTDIR : errno, options);
  }
  if (type == DT_DIR)
    return tryPlaceWatchAt(parent, name, throughParent().c_str(), IN_DONT_FOLLOW, false, options,
                           parentLength);
  // The link itself, held open, so that its owner and its text are those of one and the same link.
  Descriptor link(openat(parentFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (link.get() < 0 || fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode))
    return std::nullopt;
  if (!isTrustedOwner(info.st_uid)) {
    if (options.onUntrustedLink) {
      std::optional<std::string> parentPath = boundedPathOf(parent);
      options.onUntrustedLink(joinPath(parentPath ? *parentPath : "...", name), info.st_uid);
    }
    return std::nullopt;
  }
  char text[kMaxPath];
  const ssize_t length = readlinkat(link.get(), "", text, sizeof text);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof text)
    return std::nullopt;
  text[length] = '\0';
  // Its text is followed only where it passes no further link: a directory on the way may be an
  // uploader's, swapped for a link to anywhere.
  open_how how{};
  how.flags = (opened != nullptr ? O_RDONLY | O_NONBLOCK : O_PATH) | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  Descriptor pointee(static_cast<int>(syscall(SYS_openat2, parentFd, text, &how, sizeof how)));
  if (pointee.get() < 0 && opened != nullptr && (errno == EMFILE || errno == ENFILE)) {
    // No descriptor to spare for reading it now: watched through a path-only one, read later.
    opened = nullptr;
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    pointee = Descriptor(static_cast<int>(syscall(SYS_openat2, parentFd, text, &how, sizeof how)));
  }
  if (pointee.get() < 0) {
    const int error = errno == ENOSYS ? ELOOP : errno;
    return announced || error != ENOTDIR ? skipped(parent, name, error, options) : std::nullopt;
  }
  const std::string kernelPath = procFds_ ? ProcPath(pointee.get()).str() : throughParent();
  std::optional<PlacedWatch> placed =
      tryPlaceWatchAt(parent, name, kernelPath.c_str(), 0, true, options, parentLength);
  if (placed && placed->wd >= 0 && opened != nullptr && procFds_)
    *opened = pointee.release();
  return placed;
}

int InotifyWatch::openWatched(int wd) {
  std::optional<std::string> path = boundedPathOf(wd);
  if (!path)
    return -1;
  int fd = open(path->c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || isWatchedAs(fd, wd))
    return fd;
  close(fd);
  return -1;
}

bool InotifyWatch::isWatchedAs(int fd, int wd) {
  if (!procFds_)
    return true;
  // A watch holds its directory's inode, so while `wd` lives, the device and inode numbers seen
  // at its last check are its own and no other directory's.
  struct stat info;
  const bool identified = fstat(fd, &info) == 0;
  if (auto known = checkedIds_.find(wd); identified && known != checkedIds_.end() &&
                                         known->second == std::pair(info.st_dev, info.st_ino)) {
    return true;
  }
  // The kernel hands back the descriptor of the watch the directory already has.
  const int found =
      inotify_add_watch(fd_, ProcPath(fd).c_str(), defaultMask_ | IN_ONLYDIR | IN_MASK_ADD);
  if (found == wd) {
    if (identified) {
      if (checkedIds_.size() >= kMaxCheckedIds)
        checkedIds_.clear();
      checkedIds_[wd] = {info.st_dev, info.st_ino};
    }
    return true;
  }
  // The directory found by the path of `wd`: that path describes the stray watch's records.
  if (found >= 0)
    dropStrayWatch(found, boundedPathOf(wd).value_or("..."));
  return false;
}

void InotifyWatch::dropStrayWatch(int wd, const std::string& path) {
  auto [it, inserted] = entries_.try_emplace(wd);
  if (!inserted)
    return;
  // Registered as departed until its IN_IGNORED is read, like a queue mark, so that the records
  // the kernel may queue meanwhile are described and not acted on.
  it->second.name = path;
  it->second.departed = true;
  inotify_rm_watch(fd_, wd);
}

bool InotifyWatch::stillAt(int wd) {
  const int fd = openWatched(wd);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

std::optional<int> InotifyWatch::openBelowTarget(int targetFd, int wd) {
  std::vector<const std::string*>& names = scratchNames_;
  names.clear();
  for (int up = wd, steps = 0; up != targetWd_; ++steps) {
    auto it = entries_.find(up);
    if (it == entries_.end() || it->second.departed || static_cast<size_t>(steps) > entries_.size())
      return -1;
    if (it->second.viaLink || it->second.parent == -1)
      return std::nullopt;
    names.push_back(&it->second.name);
    up = it->second.parent;
  }
  if (names.empty())
    return std::nullopt;
  const std::string relative = joinFromTop(names);
  if (relative.size() >= kMaxPath)
    return -1;
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const int fd =
      static_cast<int>(syscall(SYS_openat2, targetFd, relative.c_str(), &how, sizeof how));
  if (fd < 0) {
    // Gone, or a link or a mount on the way: nothing there to hand over. Any other refusal (a
    // kernel or a sandbox without openat2) leaves the check by path to tell.
    const bool nothingThere =
        errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EXDEV;
    return nothingThere ? std::optional(-1) : std::nullopt;
  }
  // The names may lead to another directory by now (renamed away, and one made in its place).
  if (isWatchedAs(fd, wd))
    return fd;
  close(fd);
  return -1;
}

bool InotifyWatch::collectNames(int wd, size_t limit,
                                std::vector<const std::string*>& names) const {
  names.clear();
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return false;
  names.push_back(&it->second.name);
  // Every level adds a name and a slash: with a limit the walk ends within limit / 2 steps.
  size_t length = it->second.name.size();
  int p = it->second.parent;
  for (size_t steps = 0; p != -1 && steps < entries_.size(); ++steps) {
    auto up = entries_.find(p);
    if (up == entries_.end())
      break;
    length += up->second.name.size() + 1;
    if (length >= limit)
      return false;
    names.push_back(&up->second.name);
    p = up->second.parent;
  }
  return true;
}

std::string InotifyWatch::pathOf(int wd) const {
  if (wd == -1)
    return "";
  std::vector<const std::string*>& names = scratchNames_;
  if (!collectNames(wd, std::numeric_limits<size_t>::max(), names))
    throw NotFoundError("watch descrepter not found!!");
  return joinFromTop(names);
}

std::optional<std::string> InotifyWatch::boundedPathOf(int wd) const {
  std::vector<const std::string*>& names = scratchNames_;
  if (!collectNames(wd, kMaxPath, names))
    return std::nullopt;
  std::string path = joinFromTop(names);
  if (path.size() >= kMaxPath)
    return std::nullopt;
  return path;
}

std::optional<size_t> InotifyWatch::boundedPathLength(int wd) const {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return std::nullopt;
  // Names joined by slashes, except after a target's name that ends with one.
  size_t length = it->second.name.size();
  for (size_t steps = 0; it->second.parent != -1 && steps < entries_.size(); ++steps) {
    auto up = entries_.find(it->second.parent);
    if (up == entries_.end())
      break;
    const std::string& name = up->second.name;
    length += name.size() + (name.empty() || name.back() != '/' ? 1 : 0);
    if (length >= kMaxPath)
      return std::nullopt;
    it = up;
  }
  if (length >= kMaxPath)
    return std::nullopt;
  return length;
}

bool InotifyWatch::pathFits(int wd) const {
  return boundedPathLength(wd).has_value();
}

void InotifyWatch::removeWatch(int wd) {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return;
  entries_.erase(it);
  checkedIds_.erase(wd);
  inotify_rm_watch(fd_, wd);
}

void InotifyWatch::watchTree(const std::string& target, const std::vector<std::string>& ignore,
                             const ScanOptions& options) {
  if (target.empty() || !isDirectory(target))
    return;
  std::optional<PlacedWatch> placed;
  if (procFds_) {
    // The directory opened is the one watched, whatever the name leads to a moment later.
    Descriptor opened(open(joinPath("", target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0)
      return;
    placed = isIgnored(target)
                 ? PlacedWatch{-1, WatchOutcome::kIgnored}
                 : tryPlaceWatchAt(-1, target, ProcPath(opened.get()).c_str(), 0, false, options);
    // Once watched, the target is that directory for good: whatever its name leads to later
    // (a link planted by whoever can write its parent) is not scanned in its place.
    if (placed && placed->wd >= 0 && targetWd_ >= 0 && placed->wd != targetWd_) {
      dropStrayWatch(placed->wd, target);
      return;
    }
    if (placed && placed->wd >= 0)
      targetWd_ = placed->wd;
    if (placed && placed->wd >= 0) {
      scanBelow(placed->wd, options, opened.release());
      return;
    }
  } else {
    placed = tryPlaceWatch(-1, target, false, options);
    if (placed && placed->wd >= 0)
      targetWd_ = placed->wd;
  }
  // An ignored target ("." or "..") still has its contents scanned, with no parent.
  if (placed)
    scanDirectory(*this, placed->wd, target, ignore, options);
}

std::optional<PlacedWatch> InotifyWatch::watchSubtree(int parent, const std::string& name,
                                                      const ScanOptions& options) {
  Descriptor parentFd(openWatched(parent));
  if (parentFd.get() < 0)
    return std::nullopt;
  int opened = -1;
  std::optional<PlacedWatch> placed =
      watchEntry(parent, parentFd.get(), name, DT_UNKNOWN, options, &opened);
  Descriptor directory(opened);
  // A directory registered here already was scanned when it was registered; whatever appeared in
  // it since has records of its own.
  if (placed && placed->wd >= 0 && placed->outcome != WatchOutcome::kUnchanged)
    scanBelow(placed->wd, options, directory.release());
  return placed;
}

void InotifyWatch::scanBelow(int wd, const ScanOptions& options, int opened) {
  // Depth first. The directories being read are open, one inside the other, up to kOpenLevels;
  // those found deeper are watched and wait on a stack of their own, to be re-opened by their
  // path once the open ones are done. However deep the tree, few directories are open at once.
  const size_t levels = openLevels();
  std::vector<DirectoryReader> reading;
  reading.reserve(levels);
  std::vector<int> toOpen;
  // Path lengths are carried down, so that watching a directory looks nothing up in the registry
  // but its own new entry.
  const auto lengthOf = [this](int directory) {
    auto it = entries_.find(directory);
    const bool slashEnded =
        it != entries_.end() && !it->second.name.empty() && it->second.name.back() == '/';
    return std::pair(boundedPathLength(directory), slashEnded ? 0 : 1);
  };
  if (opened >= 0) {
    const auto [length, separator] = lengthOf(wd);
    reading.emplace_back(wd, opened, length, separator);
  } else {
    toOpen.push_back(wd);
  }
  for (;;) {
    if (reading.empty()) {
      if (toOpen.empty())
        return;
      const int directory = toOpen.back();
      toOpen.pop_back();
      // Gone, or moved since it was watched: its own records tell where.
      if (const int fd = openWatched(directory); fd >= 0) {
        const auto [length, separator] = lengthOf(directory);
        reading.emplace_back(directory, fd, length, separator);
      }
      continue;
    }
    DirectoryReader& current = reading.back();
    const dirent64* entry = current.next();
    if (entry == nullptr) {
      reading.pop_back();
      continue;
    }
    const unsigned char type = entry->d_type;
    if (options.changedFiles != nullptr && type != DT_DIR)
      noteIfChanged(current.wd(), current.fd(), entry->d_name, options);
    // Only directories and links to them are watched: a file costs the scan nothing more.
    if (type != DT_DIR && type != DT_LNK && type != DT_UNKNOWN)
      continue;
    int childFd = -1;
    std::optional<PlacedWatch> child =
        watchEntry(current.wd(), current.fd(), entry->d_name, type, options, &childFd,
                   current.pathLength().value_or(kMaxPath));
    if (!child || child->wd < 0)
      continue;
    if (childFd >= 0 && reading.size() < levels) {
      reading.emplace_back(child->wd, childFd, current.childPathLength(entry->d_name));
    } else {
      if (childFd >= 0)
        close(childFd);
      toOpen.push_back(child->wd);
    }
  }
}

void InotifyWatch::noteIfChanged(int wd, int directoryFd, const char* name,
                                 const ScanOptions& options) {
  struct stat info;
  if (fstatat(directoryFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
    return;
  const timespec& since = options.changedSince;
  const timespec& changed = info.st_ctim;
  if (changed.tv_sec > since.tv_sec ||
      (changed.tv_sec == since.tv_sec && changed.tv_nsec >= since.tv_nsec)) {
    options.changedFiles->emplace_back(wd, name);
  }
}

void InotifyWatch::recordMoveFrom(int wd, const std::string& name, uint32_t cookie) {
  DirectoryMove move{cookie, {}, false, -1, {}};
  for (const auto& [descriptor, entry] : entries_) {
    if (entry.parent == wd && entry.name == name && !entry.departed)
      move.leaving.push_back(descriptor);
  }
  if (move.leaving.empty())
    return;  // nothing watched left: no IN_MOVE_SELF will come for it
  if (moves_.size() == kMaxPendingMoves)
    moves_.erase(moves_.begin());
  moves_.push_back(std::move(move));
}

bool InotifyWatch::completeMoveTo(int wd, const std::string& name, uint32_t cookie) {
  auto move = std::find_if(moves_.begin(), moves_.end(), [cookie](const DirectoryMove& m) {
    return m.cookie == cookie && !m.arrived;
  });
  if (move == moves_.end())
    return false;
  move->arrived = true;
  move->toParent = wd;
  move->toName = name;
  if (move->leaving.size() == 1) {
    WatchEntry& entry = entries_.at(move->leaving.front());
    entry.parent = wd;
    entry.name = name;
  }
  return true;
}

MoveOutcome InotifyWatch::settleMove(int wd) {
  // The kernel queues a directory's IN_MOVE_SELF right after the records of that very rename, and
  // renames of one directory come one at a time: the newest move that names it is its own. Older
  // ones named it as a stale twin of the directory that really moved, and never will again.
  auto names = [wd](const DirectoryMove& m) {
    return std::find(m.leaving.begin(), m.leaving.end(), wd) != m.leaving.end();
  };
  auto move = std::find_if(moves_.rbegin(), moves_.rend(), names);
  if (move == moves_.rend())
    return MoveOutcome::kUnmatched;
  const bool arrived = move->arrived;
  if (arrived) {
    WatchEntry& entry = entries_.at(wd);
    entry.parent = move->toParent;
    entry.name = move->toName;
  }
  moves_.erase(std::next(move).base());
  for (DirectoryMove& older : moves_)
    std::erase(older.leaving, wd);
  std::erase_if(moves_, [](const DirectoryMove& m) { return m.leaving.empty(); });
  return arrived ? MoveOutcome::kMovedInside : MoveOutcome::kMovedOut;
}

void InotifyWatch::removeChild(int wd, const std::string& name) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.parent == wd && it->second.name == name) {
      int descriptor = it->first;
      it = entries_.erase(it);
      checkedIds_.erase(descriptor);
      inotify_rm_watch(fd_, descriptor);
    } else {
      ++it;
    }
  }
}

void InotifyWatch::forgetMoves() {
  moves_.clear();
}

void InotifyWatch::detachSubtree(int wd) {
  if (!entries_.contains(wd))
    return;
  // Down from `wd` through an index of children built once: walking up from every entry would
  // cost the tree's size times its depth.
  std::multimap<int, int> children;
  for (const auto& [descriptor, entry] : entries_) {
    if (!entry.departed && !entry.viaLink && descriptor != wd)
      children.emplace(entry.parent, descriptor);
  }
  std::vector<std::pair<int, int>> leaving{{0, wd}};  // (depth below wd, descriptor)
  for (size_t next = 0; next < leaving.size(); ++next) {
    const auto [depth, parent] = leaving[next];
    auto [first, last] = children.equal_range(parent);
    for (auto child = first; child != last; ++child)
      leaving.emplace_back(depth + 1, child->second);
  }
  // Deepest first: the kernel answers each removal with IN_IGNORED after the records it had
  // already queued for that watch, and forgetWatch drops the entry then. Removing children before
  // their parents keeps every queued record's whole old path resolvable for the log.
  std::sort(leaving.begin(), leaving.end(), std::greater<>());
  for (auto [depth, descriptor] : leaving) {
    entries_[descriptor].departed = true;
    inotify_rm_watch(fd_, descriptor);
  }
  for (DirectoryMove& move : moves_) {
    std::erase_if(move.leaving, [this](int leaving) {
      auto it = entries_.find(leaving);
      return it == entries_.end() || it->second.departed;
    });
  }
  std::erase_if(moves_, [](const DirectoryMove& move) { return move.leaving.empty(); });
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

bool InotifyWatch::forgetWatch(int wd) {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return false;
  // A queue mark or a stray watch is departed from birth, and has no parent.
  const bool wasDirectory = !(it->second.departed && it->second.parent == -1);
  entries_.erase(it);
  checkedIds_.erase(wd);
  if (wd == targetWd_)
    targetWd_ = -1;
  for (DirectoryMove& move : moves_)
    std::erase(move.leaving, wd);
  std::erase_if(moves_, [](const DirectoryMove& move) { return move.leaving.empty(); });
  return wasDirectory;
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
  it->second.pending.note(name, mask);
}

uint32_t InotifyWatch::pendingMask(int wd, const std::string& name) const {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return 0;
  return it->second.pending.mask(name);
}

void InotifyWatch::clearPending(int wd, const std::string& name) {
  auto it = entries_.find(wd);
  if (it != entries_.end())
    it->second.pending.clear(name);
}

// With the map's own 40 bytes per node, 88: one 96-byte block of the allocator per directory.
static_assert(sizeof(WatchEntry) <= 48);

void PendingWrites::note(const std::string& name, uint32_t mask) {
  if (!files_)
    files_ = std::make_unique<Map>();
  (*files_)[name] |= mask;
}

uint32_t PendingWrites::mask(const std::string& name) const {
  if (!files_)
    return 0;
  auto file = files_->find(name);
  return file == files_->end() ? 0 : file->second;
}

void PendingWrites::clear(const std::string& name) {
  if (files_)
    files_->erase(name);
}

const PendingWrites::Map& PendingWrites::files() const {
  static const Map kNone;
  return files_ ? *files_ : kNone;
}

std::pair<const std::byte*, int64_t> InotifyWatch::readEvents() {
  timespec before;
  clock_gettime(CLOCK_REALTIME, &before);
  ssize_t count = read(fd_, buffer_.get(), kBufferSize);
  if (count < 0) {
    int error = errno;
    throw SystemError("read fail!!", error);
  }
  // The records just read were queued after the queue was last seen empty before this read; a
  // read with room left for the largest record empties it for the records that follow.
  drainedAt_ = emptiedAt_;
  if (static_cast<size_t>(count) + sizeof(inotify_event) + NAME_MAX + 1 <= kBufferSize)
    emptiedAt_ = before;
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
