// directory_identity.h: whether a directory opened now is the one a watch was placed on.
//
// Any name in the tree may be renamed, or swapped for a link to anywhere, between the moment a
// directory was watched and the moment the daemon opens it again to hand over a file inside or
// to scan it. DirectoryIdentity opens a watched directory only when what it finds is that very
// directory: the kernel tells (adding a watch on it hands back the watch it already has), and
// since a watch holds its inode, the device and inode numbers seen then identify it for as long
// as the watch lives. It keeps those numbers (a bounded cache), and, for the records of one read,
// the target (whose own path is checked once per read) and the directory last opened below it,
// so that a burst of closes in one directory costs one open. Works through the InotifyWatch it is
// given; used by the scan and the dispatch. Single-threaded.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/descriptor.h"
#include "watch/inotify_watch.h"

namespace vellumd {

class DirectoryIdentity {
 public:
  // REQUIRES: `watch` outlives this object.
  explicit DirectoryIdentity(InotifyWatch& watch) : watch_(watch) {}
  DirectoryIdentity(const DirectoryIdentity&) = delete;
  DirectoryIdentity& operator=(const DirectoryIdentity&) = delete;
  virtual ~DirectoryIdentity();  // closes the directories held for the read

  // Opens the registered directory `wd` by its path, and only when that path still leads to it.
  // -1 otherwise. The caller owns the descriptor.
  int openWatched(int wd);
  // True when the path of `wd` still leads to the directory registered as `wd`.
  bool stillAt(int wd);
  // Opens the registered directory `wd` below the target, open as `targetFd`, by the names of
  // the entries between them, through no symbolic link and never out from under the target
  // (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS), and only when what is found there is the
  // directory watched as `wd`: openWatched's guarantee without a walk of the whole path. An O_PATH
  // descriptor the caller owns; -1 when the names lead nowhere, or elsewhere. Nothing when the way
  // down passes a directory reached through a link, or openat2 is refused: openWatched then.
  std::optional<int> openBelowTarget(int targetFd, int wd);
  // True when the directory open as `fd` is the one watched as `wd` (always, without /proc to
  // ask the kernel through). A watch the asking made on another directory is given back.
  bool isWatchedAs(int fd, int wd);

  // The directory `wd`, opened from the target through no link (openBelowTarget) once the
  // target's own path was checked in this read, or by its path when that still leads to it
  // (openWatched); -1 when neither way leads to it. Held open until endOfRead(), or until another
  // directory is asked for. Not owned by the caller.
  int openHeld(int wd);
  // The records of one read are all acted on, or a directory moved: what is held is closed, so
  // that the next directory asked for is checked again.
  void endOfRead();

 private:
  InotifyWatch& watch_;
  // The device and inode numbers of the directories isWatchedAs last found to be their watch's
  // own. Trusted only while the watch is registered and in the tree; a few thousand at most.
  static constexpr size_t kMaxCheckedIds = 4096;
  std::unordered_map<int, std::pair<dev_t, ino_t>> checkedIds_;
  int heldWd_ = -1;    // the directory held for the read; -1: none
  Descriptor held_;    // open on heldWd_
  Descriptor target_;  // the target, once its path was checked in this read; -1: not there
  bool targetChecked_ = false;
};

}  // namespace vellumd
