// tree_poll.cpp: reading the tree at every scan, and the memory of each file's stamp.
#include "watch/tree_poll.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "base/descriptor.h"
#include "log/own_file.h"
#include "watch/dir_scan.h"
#include "watch/watch_registry.h"

namespace vellumd {

namespace {
constexpr size_t kBufferSize = 32768;
// Descriptors kept for the rest of the daemon while a scan holds one per level of the tree.
constexpr rlim_t kDescriptorsKept = 64;

// Directories open at once, one inside the other: as deep as a path can name (a one-letter name
// and a slash a level), or as the descriptor limit allows. Nothing deeper is read.
size_t maxDepth() {
  rlimit limit{};
  const rlim_t byPath = kMaxPath / 2;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return byPath;
  return limit.rlim_cur > kDescriptorsKept ? std::min(byPath, limit.rlim_cur - kDescriptorsKept)
                                           : 1;
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The attributes of `name` in `directoryFd` as the file system has them now. A network or FUSE
// file system answers a stat from attributes it cached for a second or more, in which a file
// still being written elsewhere looks unchanged between two scans; forced, it asks the server
// (a local file system ignores the flag).
bool freshStat(int directoryFd, const char* name, int flags, struct statx& info) {
  return statx(directoryFd, name, flags | AT_STATX_FORCE_SYNC,
               STATX_TYPE | STATX_MODE | STATX_UID | STATX_SIZE | STATX_MTIME | STATX_CTIME,
               &info) == 0;
}

FileStamp stampOf(const struct statx& info) {
  return {static_cast<off_t>(info.stx_size),
          {info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec},
          {info.stx_ctime.tv_sec, info.stx_ctime.tv_nsec}};
}

// A mount gone answers with these; anything else is the tree's own business.
bool isMountTrouble(int error) {
  return error == ENOTCONN || error == ESTALE || error == EIO;
}

struct IdentityHash {
  size_t operator()(const std::pair<dev_t, ino_t>& identity) const {
    return std::hash<ino_t>()(identity.second) * 31 + std::hash<dev_t>()(identity.first);
  }
};

// True when the directory open as `fd` holds nothing but "." and "..".
bool isEmpty(int fd) {
  char buffer[1024];
  const ssize_t count = getdents64(fd, buffer, sizeof buffer);
  bool empty = true;
  for (ssize_t offset = 0; offset < count;) {
    const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
    offset += entry->d_reclen;
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      empty = false;
  }
  lseek(fd, 0, SEEK_SET);
  return count >= 0 && empty;
}
}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return size == other.size && sameTime(modified, other.modified) &&
         sameTime(changed, other.changed);
}

TreePoll::TreePoll(std::string target, const std::vector<std::string>& excludes,
                   std::chrono::milliseconds settle)
    : target_(std::move(target)), excludes_(excludes), settle_(settle) {}

TreePoll::~TreePoll() = default;

// What one scan carries from directory to directory.
struct TreePoll::Pass {
  Pass(const OnStable& onStable, const IsNew& isNew, Outcome& outcome, size_t directories)
      : onStable(onStable),
        isNew(isNew),
        outcome(outcome),
        visited(2 * directories + 16),
        buffer(new char[kBufferSize]),
        now(Clock::now()),
        depthLimit(maxDepth()) {}
  // The first error that says the mount is in trouble; what it did not reach is not taken for
  // gone.
  void noteTrouble(int error) {
    if (readError == 0 && isMountTrouble(error))
      readError = error;
  }

  const OnStable& onStable;
  const IsNew& isNew;
  Outcome& outcome;
  // Sized for the tree the last scan read: it is not grown again and again while read.
  std::unordered_set<std::pair<dev_t, ino_t>, IdentityHash> visited;
  std::unique_ptr<char[]> buffer;  // kBufferSize bytes of getdents64 records
  int readError = 0;
  size_t files = 0;
  const Clock::time_point now;
  const size_t depthLimit;
};

TreePoll::Outcome TreePoll::scan(const OnStable& onStable, const IsNew& isNew) {
  Outcome outcome;
  timespec startedAt;
  clock_gettime(CLOCK_REALTIME, &startedAt);
  struct stat rootInfo;
  Descriptor root = openTarget(outcome, rootInfo);
  if (root.get() < 0)
    return outcome;
  ++scan_;
  Pass pass(onStable, isNew, outcome, directories_);
  pass.visited.emplace(rootInfo.st_dev, rootInfo.st_ino);
  readDirectory(pass, root.get(), target_, 0, root_);
  first_ = false;
  targetDevice_ = rootInfo.st_dev;
  if (pass.readError != 0) {
    outcome.trouble = strerror(pass.readError);
    return outcome;
  }
  files_ = pass.files;
  directories_ = outcome.directories;
  scannedSince_ = startedAt;
  return outcome;
}

Descriptor TreePoll::openTarget(Outcome& outcome, struct stat& info) {
  // The target is opened by its name at every scan, so that a share mounted again is read; a
  // link put in its place by whoever can write its parent is not followed.
  const std::string target = joinPath("", target_);
  struct stat link;
  if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !isTrustedOwner(link.st_uid)) {
    outcome.trouble = "it is a link owned by uid " + std::to_string(link.st_uid);
    return Descriptor();
  }
  Descriptor root(open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0 || fstat(root.get(), &info) != 0) {
    outcome.trouble = strerror(errno);
    return Descriptor();
  }
  // A mount gone leaves the empty directory beneath it, on the device of the file system that
  // holds it: that is no reason to take every file for deleted.
  if (!first_ && files_ > 0 && info.st_dev != targetDevice_ && isEmpty(root.get())) {
    outcome.trouble = "it is empty, on another device";
    return Descriptor();
  }
  return root;
}

void TreePoll::readDirectory(Pass& pass, int fd, const std::string& path, size_t depth,
                             Directory& known) {
  // Depth first; each directory is read whole before those below it are opened, and its files
  // are offered through its open descriptor, never by a path a planted link could redirect.
  ++pass.outcome.directories;
  known.scan = scan_;
  const int errorBefore = pass.readError;
  std::vector<std::pair<std::string, bool>> below;
  const size_t found = readEntries(pass, fd, path, known, below);
  pass.files += found;
  // What a failed read did not reach is not taken for gone.
  if (pass.readError == errorBefore)
    forgetUnseen(path, known, found, false);
  if (depth >= pass.depthLimit)
    return;
  for (const auto& [name, link] : below) {
    // A directory that became a link since it was read is not followed.
    Descriptor child(
        openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW)));
    if (child.get() < 0)
      pass.noteTrouble(errno);
    // Links can lead back up the tree: each directory is read once.
    struct stat info;
    if (child.get() < 0 || fstat(child.get(), &info) != 0 ||
        !pass.visited.emplace(info.st_dev, info.st_ino).second)
      continue;
    std::unique_ptr<Directory>& next = known.below[name];
    if (!next)
      next = std::make_unique<Directory>();
    readDirectory(pass, child.get(), joinPath(path, name), depth + 1, *next);
  }
  if (pass.readError == errorBefore)
    forgetUnseen(path, known, known.files.size(), true);
}

size_t TreePoll::readEntries(Pass& pass, int fd, const std::string& path, Directory& known,
                             std::vector<std::pair<std::string, bool>>& below) {
  size_t found = 0;
  for (;;) {
    const ssize_t count = getdents64(fd, pass.buffer.get(), kBufferSize);
    if (count < 0)
      pass.noteTrouble(errno);
    if (count <= 0)
      return found;
    for (ssize_t offset = 0; offset < count;) {
      const auto* entry = reinterpret_cast<const dirent64*>(pass.buffer.get() + offset);
      offset += entry->d_reclen;
      const std::string name = entry->d_name;
      if (name == "." || name == ".." || matchesAnyPattern(name, excludes_))
        continue;
      if (entry->d_type == DT_DIR) {
        below.emplace_back(name, false);
        continue;
      }
      if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        continue;
      struct statx info;
      if (!freshStat(fd, name.c_str(), AT_SYMLINK_NOFOLLOW, info)) {
        pass.noteTrouble(errno);
        continue;
      }
      // A link is followed only when its owner is trusted, as the watch follows one.
      const bool link = S_ISLNK(info.stx_mode);
      if (link && (!isTrustedOwner(info.stx_uid) || !freshStat(fd, name.c_str(), 0, info)))
        continue;
      if (S_ISDIR(info.stx_mode)) {
        below.emplace_back(name, link);
      } else if (S_ISREG(info.stx_mode) && path.size() + 1 + name.size() < kMaxPath) {
        ++found;
        this->found(known, fd, path, name, stampOf(info), pass.now, pass.onStable, pass.isNew,
                    pass.outcome);
      }
    }
  }
}

void TreePoll::found(Directory& directory, int directoryFd, const std::string& path,
                     const std::string& name, const FileStamp& stamp, Clock::time_point now,
                     const OnStable& onStable, const IsNew& isNew, Outcome& outcome) {
  auto [at, added] = directory.files.try_emplace(name);
  Known& known = at->second;
  known.scan = scan_;
  if (added) {
    known.seen = stamp;
    known.seenSince = now;
    if (first_ && !isNew(joinPath(path, name), stamp))
      known.handed = stamp;
    notePending(path, name, known);
    return;
  }
  if (!(known.seen == stamp)) {
    known.seen = stamp;
    known.seenSince = now;
    notePending(path, name, known);
    return;
  }
  if ((known.handed && *known.handed == stamp) || now - known.seenSince < settle_)
    return;
  if (onStable(directoryFd, path, name, stamp)) {
    ++outcome.stable;
    known.handed = stamp;
    notePending(path, name, known);
  }
}

void TreePoll::forgetUnseen(const std::string& directory, Directory& known, size_t found,
                            bool below) {
  if (found != known.files.size()) {
    std::erase_if(known.files, [&](const auto& file) {
      if (file.second.scan == scan_)
        return false;
      pending_.erase(joinPath(directory, file.first));
      return true;
    });
  }
  if (!below)
    return;
  std::erase_if(known.below, [&](const auto& entry) {
    if (entry.second->scan == scan_)
      return false;
    forgetAll(joinPath(directory, entry.first), *entry.second);
    return true;
  });
}

void TreePoll::forgetAll(const std::string& directory, const Directory& known) {
  if (!pending_.empty()) {
    for (const auto& [name, file] : known.files)
      pending_.erase(joinPath(directory, name));
  }
  for (const auto& [name, below] : known.below)
    forgetAll(joinPath(directory, name), *below);
}

void TreePoll::notePending(const std::string& path, const std::string& name, const Known& known) {
  if (known.handed && *known.handed == known.seen)
    pending_.erase(joinPath(path, name));
  else
    pending_.insert(joinPath(path, name));
}

std::vector<std::string> TreePoll::pending() const {
  return {pending_.begin(), pending_.end()};
}

}  // namespace vellumd
