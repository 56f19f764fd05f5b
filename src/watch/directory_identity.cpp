// directory_identity.cpp: opening watched directories only when they are the ones watched.
#include "watch/directory_identity.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "watch/proc_path.h"

namespace vellumd {

DirectoryIdentity::~DirectoryIdentity() = default;

int DirectoryIdentity::openWatched(int wd) {
  std::optional<std::string> path = watch_.registry().boundedPathOf(wd);
  if (!path)
    return -1;
  Descriptor fd(open(path->c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 || !isWatchedAs(fd.get(), wd))
    return -1;
  return fd.release();
}

bool DirectoryIdentity::stillAt(int wd) {
  return Descriptor(openWatched(wd)).get() >= 0;
}

bool DirectoryIdentity::isWatchedAs(int fd, int wd) {
  if (!procFdsUsable())
    return true;
  // A watch holds its directory's inode, so while `wd` lives, the device and inode numbers seen
  // at its last check are its own and no other directory's.
  struct stat info;
  const bool identified = fstat(fd, &info) == 0;
  if (auto known = checkedIds_.find(wd); identified && known != checkedIds_.end()) {
    if (known->second == std::pair(info.st_dev, info.st_ino) && watch_.registry().contains(wd) &&
        !watch_.registry().isDeparted(wd)) {
      return true;
    }
  }
  // The kernel hands back the descriptor of the watch the directory already has.
  const int found = watch_.askKernel(ProcPath(fd).c_str());
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
    watch_.dropStrayWatch(found, watch_.registry().boundedPathOf(wd).value_or("..."));
  return false;
}

std::optional<int> DirectoryIdentity::openBelowTarget(int targetFd, int wd) {
  bool gone = false;
  const std::optional<std::string> relative =
      watch_.registry().wayDown(watch_.targetWd(), wd, gone);
  if (!relative)
    return gone ? std::optional(-1) : std::nullopt;
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  Descriptor fd(
      static_cast<int>(syscall(SYS_openat2, targetFd, relative->c_str(), &how, sizeof how)));
  if (fd.get() < 0) {
    // Gone, or a link or a mount on the way: nothing there to hand over. Any other refusal (a
    // kernel or a sandbox without openat2) leaves the check by path to tell.
    const bool nothingThere =
        errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EXDEV;
    return nothingThere ? std::optional(-1) : std::nullopt;
  }
  // The names may lead to another directory by now (renamed away, and one made in its place).
  if (!isWatchedAs(fd.get(), wd))
    return -1;
  return fd.release();
}

int DirectoryIdentity::openHeld(int wd) {
  if (heldWd_ == wd && held_.get() >= 0)
    return held_.get();
  // The target's path is checked once per read; the directories below it are then reached from
  // it, name by name, through no link.
  const int targetWd = watch_.targetWd();
  if (!targetChecked_ && targetWd >= 0) {
    target_ = Descriptor(openWatched(targetWd));
    targetChecked_ = true;
  }
  if (wd == targetWd)
    return target_.get();
  std::optional<int> below = std::nullopt;
  if (target_.get() >= 0)
    below = openBelowTarget(target_.get(), wd);
  heldWd_ = wd;
  held_ = Descriptor(below ? *below : openWatched(wd));
  return held_.get();
}

void DirectoryIdentity::endOfRead() {
  heldWd_ = -1;
  held_ = Descriptor();
  target_ = Descriptor();
  targetChecked_ = false;
}

}  // namespace vellumd
