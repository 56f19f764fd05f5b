// inotify_watch.h: the registry of watched directories.
//
// InotifyWatch owns the inotify descriptor, the 4113-byte read buffer and one WatchEntry per
// watch: (descriptor -> parent descriptor, name, pending file masks). Paths are rebuilt from the
// parent chain at every use and never cached, so renaming a directory changes one entry and
// nothing below it. Besides directories it holds, briefly, the queue marks of the dispatch's
// looks: file watches removed as soon as they are added. Single-threaded: the event loop, the
// scan and the dispatch are its only users.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellumd {

// One watch: a directory, or a queue mark. Owned by the registry's entry map.
struct WatchEntry {
  int parent = -1;   // descriptor of the containing directory; -1 where there is none (the target,
                     // a queue mark, the directories of a "." target)
  std::string name;  // the target as given, a mark's file path, or a bare name inside the parent
  std::map<std::string, uint32_t> pending;  // files created or modified and not yet closed
  bool viaLink = false;                     // reached through a symbolic link under its parent
  bool departed = false;  // no longer in the tree (moved out, or a queue mark): its kernel watch
                          // is gone or going, its records are described but not acted on
};

// What placing a watch did to the registry.
enum class WatchOutcome {
  kIgnored,     // the name is on the ignore list; nothing happened
  kNew,         // a new entry was added
  kUnchanged,   // the directory was already registered under this parent and name
  kReparented,  // the directory was registered elsewhere and now has this parent and name
  kWouldLoop,   // the directory is this parent or one of its ancestors: left where it was
};

struct PlacedWatch {
  int wd;  // the descriptor, or -1 for kIgnored and kWouldLoop
  WatchOutcome outcome;
};

// How a scan treats directories it cannot watch, and what it reports back.
struct ScanOptions {
  // A directory that cannot be read (EACCES) is skipped instead of ending the scan. Directories
  // that cannot be reached by their name any more (gone, no longer a directory, a link loop, a
  // path too long) are always skipped.
  bool skipUnreadable = false;
  // Told of every skipped directory, with the errno of its failed inotify_add_watch. May be empty.
  std::function<void(const std::string& path, int error)> onSkipped;
  // When set, receives the descriptor of every directory the scan newly registered, in scan order.
  std::vector<int>* newlyWatched = nullptr;

  // True when a failed inotify_add_watch with this errno skips the directory.
  bool skips(int error) const;
};

class InotifyWatch {
 public:
  static constexpr size_t kBufferSize = 4113;

  // Opens an inotify instance (blocking, inherited by children), allocates the read buffer and
  // watches `target` with every directory below it. `mask` is used wherever a watch is asked
  // for with mask 0. Throws SystemError ("inotify_init fail!!", "inotify_add_watch fail!!").
  InotifyWatch(const std::string& target, const std::vector<std::string>& ignore, uint32_t mask,
               const ScanOptions& options = {});
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

  // placeWatch with the default mask, except that a directory `options` says to skip is reported
  // to it and gives nothing; a new one is added to its newlyWatched.
  std::optional<PlacedWatch> tryPlaceWatch(int parent, const std::string& name, bool viaLink,
                                           const ScanOptions& options);

  // The path of a registered directory; "" for -1. Throws NotFoundError for any other
  // unregistered descriptor.
  std::string pathOf(int wd) const;

  // Forgets `wd` and removes its kernel watch; children keep paths that stop at the gap.
  void removeWatch(int wd);

  // Watches `target` (when it is a directory) and every directory below it.
  void watchTree(const std::string& target, const std::vector<std::string>& ignore,
                 const ScanOptions& options = {});

  // Watches the directory `name` inside registered `parent` and every directory below it, unless
  // it was registered there already. Returns what placing its own watch did; nothing when it
  // was skipped.
  std::optional<PlacedWatch> watchSubtree(int parent, const std::string& name,
                                          const ScanOptions& options);

  // Move bookkeeping. Unknown descriptors and cookies are ignored, never raised.
  void recordMoveFrom(int wd, const std::string& name, uint32_t cookie);
  // Gives the directory that left with `cookie` its new parent and name. False when no registered
  // directory left with it: what arrived came from outside the tree.
  bool completeMoveTo(int wd, const std::string& name, uint32_t cookie);
  void removeChild(int wd, const std::string& name);
  // Drops every recorded departure: after lost records, half of a move may be all there is.
  void forgetMoves();
  // True when `wd` left through a move whose arrival was never seen: it is no longer in the tree.
  bool hasUnmatchedDeparture(int wd) const;
  // Marks `wd` and every directory below it departed and removes their kernel watches, except
  // directories below it reached through a link (they may be in the tree by another way). The
  // entries stay until the kernel's IN_IGNORED for each, so records already queued still resolve
  // to a path for the log. Drops the cookies that name them.
  void detachSubtree(int wd);
  bool isDeparted(int wd) const;
  // True when every directory from `wd` up to the target is registered and in the tree: its
  // path then is a path in the tree.
  bool isRooted(int wd) const;
  // Forgets an entry whose kernel watch is gone (IN_IGNORED), with its pending masks and cookies.
  void forgetWatch(int wd);

  // Puts a mark into the kernel's queue, after every record queued so far: a watch on the file
  // open as `fd`, removed at once, whose IN_IGNORED record is the mark. Until that record is
  // read the watch is registered as departed under `path`, so that no record of it is acted on
  // and every one can be described. Returns its descriptor, or -1 when no watch could be added.
  // REQUIRES: `fd` is open on a regular file.
  int placeQueueMark(const std::string& path, int fd);

  // Pending writes, per directory and file name.
  void notePending(int wd, const std::string& name, uint32_t mask);
  uint32_t pendingMask(int wd, const std::string& name) const;
  void clearPending(int wd, const std::string& name);

  // One read() of up to kBufferSize bytes into the registry's buffer. Returns the buffer and the
  // count; the records stay valid until the next call. Throws SystemError ("read fail!!").
  std::pair<const std::byte*, int64_t> readEvents();

  int fd() const { return fd_; }
  uint32_t defaultMask() const { return defaultMask_; }
  const std::map<int, WatchEntry>& entries() const { return entries_; }
  const std::map<uint32_t, int>& moves() const { return moves_; }
  const std::vector<std::string>& ignoreList() const { return ignoreList_; }

 private:
  bool isIgnored(const std::string& name) const;
  // True when `ancestor` is `wd` or lies on its parent chain.
  bool isSelfOrAncestor(int ancestor, int wd) const;
  // How many parent steps lead from `wd` up to `ancestor`; -1 when `ancestor` is not on the
  // chain, or when `stopAtLinks` and the way up passes a directory reached through a link.
  int depthBelow(int ancestor, int wd, bool stopAtLinks = false) const;
  PlacedWatch placeWatchAt(int parent, const std::string& name, const std::string& path,
                           uint32_t mask, bool viaLink);

  int fd_ = -1;                          // the inotify instance; -1 while none is open
  std::unique_ptr<std::byte[]> buffer_;  // kBufferSize bytes, allocated once
  uint32_t defaultMask_;
  // Never has the key -1. Parent chains do not loop: placeWatch refuses to make a directory its
  // own ancestor, and a directory cannot be moved below itself. Walks are bounded all the same.
  std::map<int, WatchEntry> entries_;
  std::map<uint32_t, int> moves_;  // cookie -> directory seen leaving, not yet arriving
  std::vector<std::string> ignoreList_;
};

// Joins a directory path and a name: an absolute name stands alone, an empty base gives "/name",
// and a base ending in "/" gets no second slash. Nothing else is normalised.
std::string joinPath(const std::string& base, const std::string& name);

// True when stat() (following links) succeeds and finds a directory.
bool isDirectory(const std::string& path);

}  // namespace vellumd
