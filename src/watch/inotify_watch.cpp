// inotify_watch.cpp: the inotify instance, its watches, and the registry kept in step with them.
#include "watch/inotify_watch.h"

#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "errors/errors.h"
#include "watch/proc_path.h"

namespace vellumd {

bool procFdsUsable() {
  static const bool usable = access("/proc/self/fd", X_OK) == 0;
  return usable;
}

InotifyWatch::InotifyWatch(const std::vector<std::string>& ignore, uint32_t mask)
    : defaultMask_(mask), ignoreList_(ignore) {
  fd_ = Descriptor(inotify_init1(IN_CLOEXEC));
  if (fd_.get() == -1) {
    int error = errno;
    throw SystemError("inotify_init fail!!", error);
  }
  buffer_ = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  clock_gettime(CLOCK_REALTIME, &drainedAt_);
  emptiedAt_ = drainedAt_;
}

InotifyWatch::~InotifyWatch() = default;

bool InotifyWatch::isIgnored(const std::string& name) const {
  return std::find(ignoreList_.begin(), ignoreList_.end(), name) != ignoreList_.end();
}

int InotifyWatch::addWatch(int parent, const std::string& name, uint32_t mask) {
  return placeWatch(parent, name, mask).wd;
}

PlacedWatch InotifyWatch::placeWatch(int parent, const std::string& name, uint32_t mask,
                                     bool viaLink) {
  if (isIgnored(name))
    return {-1, WatchOutcome::kIgnored};
  return placeWatchAt(parent, name, joinPath(registry_.pathOf(parent), name).c_str(), mask,
                      viaLink);
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
  int wd = inotify_add_watch(fd_.get(), path, mask | IN_ONLYDIR | IN_MASK_ADD);
  if (wd == -1) {
    int error = errno;
    throw SystemError("inotify_add_watch fail!!", error);
  }
  return registry_.record(wd, parent, name, viaLink);
}

int InotifyWatch::askKernel(const char* path) {
  return inotify_add_watch(fd_.get(), path, defaultMask_ | IN_ONLYDIR | IN_MASK_ADD);
}

void InotifyWatch::dropStrayWatch(int wd, const std::string& label) {
  if (registry_.recordDeparted(wd, label))
    inotify_rm_watch(fd_.get(), wd);
}

void InotifyWatch::removeWatch(int wd) {
  if (registry_.erase(wd))
    inotify_rm_watch(fd_.get(), wd);
}

void InotifyWatch::removeChild(int wd, const std::string& name) {
  std::vector<int> children;
  for (const auto& [descriptor, entry] : registry_.entries()) {
    if (entry.parent == wd && entry.name == name)
      children.push_back(descriptor);
  }
  for (int child : children)
    removeWatch(child);
}

void InotifyWatch::detachSubtree(int wd) {
  // Deepest first: the kernel answers each removal with IN_IGNORED after the records it had
  // already queued for that watch, and forgetWatch drops the entry then. Removing children before
  // their parents keeps every queued record's whole old path resolvable for the log.
  for (int descriptor : registry_.departSubtree(wd))
    inotify_rm_watch(fd_.get(), descriptor);
  moves_.forgetDeparted();
}

bool InotifyWatch::forgetWatch(int wd) {
  const WatchEntry* entry = registry_.find(wd);
  if (entry == nullptr)
    return false;
  // A queue mark or a stray watch is departed from birth, and has no parent.
  const bool wasDirectory = !(entry->departed && entry->parent == -1);
  registry_.erase(wd);
  if (wd == targetWd_)
    targetWd_ = -1;
  moves_.forget(wd);
  return wasDirectory;
}

int InotifyWatch::placeQueueMark(const std::string& path, int fd) {
  // Through the descriptor, not the path: the name may meanwhile belong to something else, a
  // watched directory even, whose watch the mark's mask would replace.
  int wd = inotify_add_watch(fd_.get(), ProcPath(fd).c_str(), IN_DELETE_SELF);
  if (wd == -1)
    return -1;
  if (!registry_.recordDeparted(wd, path))
    return -1;  // already one of ours: not a fresh mark
  inotify_rm_watch(fd_.get(), wd);
  return wd;
}

std::pair<const std::byte*, int64_t> InotifyWatch::readEvents() {
  timespec before;
  clock_gettime(CLOCK_REALTIME, &before);
  ssize_t count = read(fd_.get(), buffer_.get(), kBufferSize);
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

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace vellumd
