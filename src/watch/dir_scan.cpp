// dir_scan.cpp: the scan that watches a tree, and the directory entry iterator.
#include "watch/dir_scan.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/openat2.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "errors/errors.h"
#include "log/own_file.h"
#include "watch/proc_path.h"

namespace vellumd {

namespace {
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

// Adds `name` to the options' changedFiles when it is a regular file changed since then.
void noteIfChanged(int wd, int directoryFd, const char* name, const ScanOptions& options) {
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

}  // namespace

bool matchesAnyPattern(const std::string& name, const std::vector<std::string>& patterns) {
  return std::any_of(patterns.begin(), patterns.end(), [&name](const std::string& pattern) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
  });
}

bool ScanOptions::skips(int error) const {
  // A busy tree loses directories between the stat() and the watch, or turns them into files or
  // links; and a name may lead nowhere (a link loop, a path beyond PATH_MAX). None of that is
  // the daemon's fault, nor a reason to stop watching the rest.
  const bool unreachable =
      error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
  return unreachable || (skipUnreadable && error == EACCES) ||
         (starved != nullptr && error == ENOSPC);
}

TreeScan::~TreeScan() = default;

std::optional<PlacedWatch> TreeScan::skipped(int parent, const std::string& name, int error,
                                             const ScanOptions& options) {
  if (!options.skips(error))
    throw SystemError("inotify_add_watch fail!!", error);
  if (options.onSkipped) {
    // Never a path beyond kMaxPath in the log, however deep renames have pushed the parent.
    std::optional<std::string> parentPath =
        parent == -1 ? std::optional<std::string>("") : watch_.registry().boundedPathOf(parent);
    options.onSkipped(joinPath(parentPath ? *parentPath : "...", name), error);
  }
  if (error == ENOSPC && options.starved != nullptr)
    options.starved->emplace_back(parent, name);
  return std::nullopt;
}

std::optional<PlacedWatch> TreeScan::tryPlaceWatchAt(int parent, const std::string& name,
                                                     const char* kernelPath, uint32_t flags,
                                                     bool viaLink, const ScanOptions& options,
                                                     std::optional<size_t> parentLength) {
  // A directory whose path would not fit could never be named to the handler or the log.
  if (parent != -1) {
    if (!parentLength)
      parentLength = watch_.registry().boundedPathLength(parent);
    if (!parentLength || *parentLength + 1 + name.size() >= kMaxPath)
      return skipped(parent, name, ENAMETOOLONG, options);
  }
  PlacedWatch placed;
  try {
    placed = watch_.placeWatchAt(parent, name, kernelPath, watch_.defaultMask() | flags, viaLink);
  } catch (const SystemError& error) {
    return skipped(parent, name, error.code, options);
  }
  if (placed.outcome == WatchOutcome::kNew && options.newlyWatched != nullptr)
    options.newlyWatched->push_back(placed.wd);
  if (placed.outcome == WatchOutcome::kReparented && options.reparented != nullptr)
    options.reparented->push_back(placed.wd);
  return placed;
}

std::optional<PlacedWatch> TreeScan::watchEntry(int parent, int parentFd, const std::string& name,
                                                unsigned char type, const ScanOptions& options,
                                                int* opened, std::optional<size_t> parentLength) {
  if (watch_.isIgnored(name))
    return std::nullopt;
  if (options.excluded != nullptr && matchesAnyPattern(name, *options.excluded))
    return std::nullopt;
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
    return procFdsUsable() ? ProcPath(parentFd).str() + "/" + name
                           : joinPath(watch_.registry().pathOf(parent), name);
  };
  if (type == DT_DIR && opened != nullptr && procFdsUsable()) {
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
  return watchLink(parent, parentFd, name, announced, options, opened, parentLength);
}

std::optional<PlacedWatch> TreeScan::watchLink(int parent, int parentFd, const std::string& name,
                                               bool announced, const ScanOptions& options,
                                               int* opened, std::optional<size_t> parentLength) {
  // The link itself, held open, so that its owner and its text are those of one and the same link.
  Descriptor link(openat(parentFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (link.get() < 0 || fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode))
    return std::nullopt;
  if (!isTrustedOwner(info.st_uid)) {
    if (options.onUntrustedLink) {
      std::optional<std::string> parentPath = watch_.registry().boundedPathOf(parent);
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
  const std::string kernelPath = procFdsUsable() ? ProcPath(pointee.get()).str()
                                                 : joinPath(watch_.registry().pathOf(parent), name);
  std::optional<PlacedWatch> placed =
      tryPlaceWatchAt(parent, name, kernelPath.c_str(), 0, true, options, parentLength);
  if (placed && placed->wd >= 0 && opened != nullptr && procFdsUsable())
    *opened = pointee.release();
  return placed;
}

void TreeScan::watchTree(const std::string& target, const ScanOptions& options) {
  if (target.empty() || !isDirectory(target))
    return;
  if (watch_.isIgnored(target)) {
    scanIgnoredTarget(target, options);
    return;
  }
  // The directory opened is the one watched, whatever the name leads to a moment later.
  Descriptor opened(open(joinPath("", target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (opened.get() < 0)
    return;
  const std::string kernelPath = procFdsUsable() ? ProcPath(opened.get()).str() : target;
  std::optional<PlacedWatch> placed =
      tryPlaceWatchAt(-1, target, kernelPath.c_str(), 0, false, options);
  if (!placed || placed->wd < 0)
    return;
  // Once watched, the target is that directory for good: whatever its name leads to later
  // (a link planted by whoever can write its parent) is not scanned in its place.
  if (watch_.targetWd() >= 0 && placed->wd != watch_.targetWd()) {
    watch_.dropStrayWatch(placed->wd, target);
    return;
  }
  watch_.setTargetWd(placed->wd);
  scanBelow(placed->wd, options, procFdsUsable() ? opened.release() : -1);
}

void TreeScan::scanIgnoredTarget(const std::string& target, const ScanOptions& options) {
  // No watch of its own to check the directory against: its entries are read by path and each
  // watched subtree scanned from there, with no parent.
  std::unique_ptr<DIR, int (*)(DIR*)> stream(opendir(target.c_str()), closedir);
  if (!stream)
    return;
  const DirEntryIterator end;
  for (DirEntryIterator entry(stream.get(), watch_.ignoreList()); entry != end; ++entry) {
    std::optional<PlacedWatch> child =
        watchEntry(-1, dirfd(stream.get()), entry->d_name, entry->d_type, options);
    if (child && child->wd >= 0)
      scanBelow(child->wd, options);
  }
}

std::optional<PlacedWatch> TreeScan::watchSubtree(int parent, const std::string& name,
                                                  const ScanOptions& options) {
  Descriptor parentFd(identity_.openWatched(parent));
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

void TreeScan::scanBelow(int wd, const ScanOptions& options, int opened) {
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
    const WatchEntry* entry = watch_.registry().find(directory);
    const bool slashEnded = entry != nullptr && !entry->name.empty() && entry->name.back() == '/';
    return std::pair(watch_.registry().boundedPathLength(directory), slashEnded ? 0 : 1);
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
      if (const int fd = identity_.openWatched(directory); fd >= 0) {
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

DirEntryIterator::DefaultIgnoreList::DefaultIgnoreList() : std::vector<std::string>{".", ".."} {}

DirEntryIterator::DefaultIgnoreList::~DefaultIgnoreList() = default;

DirEntryIterator::DirEntryIterator() = default;

DirEntryIterator::DirEntryIterator(DIR* dir, const std::vector<std::string>& ignore)
    : dir_(dir), ignore_(ignore) {
  advance();
}

DirEntryIterator::~DirEntryIterator() = default;

DirEntryIterator& DirEntryIterator::operator++() {
  advance();
  return *this;
}

DirEntryIterator DirEntryIterator::operator++(int) {
  DirEntryIterator before = *this;
  advance();
  return before;
}

void DirEntryIterator::advance() {
  if (dir_ == nullptr)
    return;
  // readdir() returns null both at the end and on a read error; either ends the walk.
  while ((current_ = readdir(dir_)) != nullptr) {
    const char* name = current_->d_name;
    bool skipped = std::any_of(ignore_.begin(), ignore_.end(),
                               [name](const std::string& ignored) { return ignored == name; });
    if (!skipped)
      return;
  }
}

}  // namespace vellumd
