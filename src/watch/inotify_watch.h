// inotify_watch.h: the kernel's inotify instance, and the registry of the directories it watches.
//
// InotifyWatch owns the inotify descriptor (close-on-exec: handlers have no use for it), the
// 4113-byte read buffer, the registry of watched directories and the book of directory renames
// under way. It places and removes the kernel's watches and keeps the registry in step with them;
// questions about paths go to registry(). Besides directories it holds, briefly, the queue marks
// of the dispatch's looks: file watches removed as soon as they are added. The scan (dir_scan.h)
// and the identity checks (directory_identity.h) work through it. Single-threaded.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/descriptor.h"
#include "watch/move_book.h"
#include "watch/watch_registry.h"

namespace vellumd {

class InotifyWatch {
 public:
  static constexpr size_t kBufferSize = 4113;

  // Opens an inotify instance and allocates the read buffer. `mask` is used wherever a watch is
  // asked for with mask 0; names on `ignore` are never watched. Throws SystemError
  // ("inotify_init fail!!").
  InotifyWatch(const std::vector<std::string>& ignore, uint32_t mask);
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;
  virtual ~InotifyWatch();  // closes the descriptor; the kernel drops every watch with it

  // Watches `name` under `parent` (-1: no parent, `name` is then the target) with `mask`, or the
  // default mask for 0. Returns the descriptor, or -1 for an ignored name or for a directory
  // that is already registered as `parent` or one of its ancestors (a link back up the tree).
  // Throws NotFoundError for an unregistered parent, SystemError when the kernel refuses.
  int addWatch(int parent, const std::string& name, uint32_t mask);
  // addWatch, telling the caller what changed. `viaLink`: `name` is a symbolic link.
  PlacedWatch placeWatch(int parent, const std::string& name, uint32_t mask, bool viaLink = false);
  // placeWatch with the kernel given `path`, which may differ from the path of the entry: a
  // /proc/self/fd path through an open directory. Throws SystemError when the kernel refuses.
  PlacedWatch placeWatchAt(int parent, const std::string& name, const char* path, uint32_t mask,
                           bool viaLink);
  // The descriptor of the watch the kernel has on the directory at `path`, added with the default
  // mask when there is none yet (and then not registered: see dropStrayWatch); -1 with errno set
  // when the kernel refuses.
  int askKernel(const char* path);
  // A watch `wd` was added on a directory other than the one expected: gives it back, unless it
  // is registered already. Registered as departed, labelled `label`, until its IN_IGNORED is read,
  // so that the records the kernel may queue meanwhile are described and not acted on.
  void dropStrayWatch(int wd, const std::string& label);

  // Forgets `wd` and removes its kernel watch; children keep paths that stop at the gap.
  void removeWatch(int wd);
  // removeWatch for every directory registered as `name` under `wd`.
  void removeChild(int wd, const std::string& name);
  // Marks `wd` and every directory below it departed and removes their kernel watches, except
  // directories below it reached through a link (they may be in the tree by another way). The
  // entries stay until the kernel's IN_IGNORED for each, so records already queued still resolve
  // to a path for the log. Drops the renames that name them.
  void detachSubtree(int wd);
  // Forgets an entry whose kernel watch is gone (IN_IGNORED), with its pending masks and renames.
  // True when it was a directory of the tree (not a queue mark): a watch was given back.
  bool forgetWatch(int wd);

  // Puts a mark into the kernel's queue, after every record queued so far: a watch on the file
  // open as `fd`, removed at once, whose IN_IGNORED record is the mark. Until that record is
  // read the watch is registered as departed under `path`, so that no record of it is acted on
  // and every one can be described. Returns its descriptor, or -1 when no watch could be added.
  // REQUIRES: `fd` is open on a regular file.
  int placeQueueMark(const std::string& path, int fd);

  // One read() of up to kBufferSize bytes into the buffer. Returns the buffer and the count; the
  // records stay valid until the next call. Throws SystemError ("read fail!!").
  std::pair<const std::byte*, int64_t> readEvents();
  // A wall-clock time before which none of the records of the last read, nor any record lost
  // with them, was queued: taken just before the last earlier read that emptied the kernel's
  // queue (the construction's time until one did).
  timespec drainedAt() const { return drainedAt_; }

  // The descriptor of the target's own watch; -1 while it has none.
  int targetWd() const { return targetWd_; }
  void setTargetWd(int wd) { targetWd_ = wd; }

  bool isIgnored(const std::string& name) const;
  int fd() const { return fd_.get(); }
  uint32_t defaultMask() const { return defaultMask_; }
  const std::vector<std::string>& ignoreList() const { return ignoreList_; }
  WatchRegistry& registry() { return registry_; }
  const WatchRegistry& registry() const { return registry_; }
  MoveBook& moves() { return moves_; }
  const MoveBook& moves() const { return moves_; }
  // Shorthands for the registry's.
  const std::map<int, WatchEntry>& entries() const { return registry_.entries(); }
  std::string pathOf(int wd) const { return registry_.pathOf(wd); }

 private:
  Descriptor fd_;                        // the inotify instance
  std::unique_ptr<std::byte[]> buffer_;  // kBufferSize bytes, allocated once
  uint32_t defaultMask_;
  std::vector<std::string> ignoreList_;
  WatchRegistry registry_;
  MoveBook moves_{registry_};
  timespec drainedAt_{};  // see drainedAt()
  timespec emptiedAt_{};  // taken before the last read that emptied the queue
  int targetWd_ = -1;     // the target's watch, once placed
};

// True when stat() (following links) succeeds and finds a directory.
bool isDirectory(const std::string& path);

}  // namespace vellumd
