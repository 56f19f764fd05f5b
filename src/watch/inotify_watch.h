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
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <time.h>

#include "log/own_file.h"  // isTrustedOwner: the owner whose links are followed

namespace vellumd {

// Paths handed to the kernel, the log or the handler never reach this length.
constexpr size_t kMaxPath = 4096;

// The files of one directory created or modified and not yet closed, with the records' bits.
// Most watched directories never see a write: until one does, this is a single null pointer, so
// that a tree of a hundred thousand directories costs no map per directory. A map once made is
// kept, so a directory being written to costs no allocation per file.
class PendingWrites {
 public:
  using Map = std::map<std::string, uint32_t>;

  bool empty() const { return !files_ || files_->empty(); }
  size_t size() const { return files_ ? files_->size() : 0; }
  void note(const std::string& name, uint32_t mask);
  uint32_t mask(const std::string& name) const;
  void clear(const std::string& name);
  // The files, in name order; an empty map while none is pending.
  const Map& files() const;

 private:
  std::unique_ptr<Map> files_;  // null until the first write
};

// One watch: a directory, or a queue mark. Owned by the registry's entry map. Laid out to fit
// the map's node in 96 bytes: it is the daemon's whole cost per watched directory.
struct WatchEntry {
  std::string name;  // the target as given, a mark's file path, or a bare name inside the parent
  PendingWrites pending;
  int parent = -1;  // descriptor of the containing directory; -1 where there is none (the target,
                    // a queue mark, the directories of a "." target)
  bool viaLink = false;   // reached through a symbolic link under its parent
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
  // When set, receives the descriptor of every registered directory the scan found under another
  // parent or name: renamed while the records that told of it were lost.
  std::vector<int>* reparented = nullptr;
  // A directory that cannot be watched for want of watches (ENOSPC) is skipped, and its parent
  // and name are added here so that it can be tried again once watches are freed. Null: ENOSPC
  // ends the scan, as at start-up.
  std::vector<std::pair<int, std::string>>* starved = nullptr;
  // Shell patterns (fnmatch, no flags) of names never watched nor scanned. May be null.
  const std::vector<std::string>* excluded = nullptr;
  // Told of every symbolic link the scan did not follow because of its owner. May be empty.
  std::function<void(const std::string& path, uid_t owner)> onUntrustedLink;
  // When set, every regular file the scan finds is stat'ed, and those changed at or after
  // changedSince are added, by directory and name, in the order found: what a catch-up after a
  // stop must look at, found without reading the tree twice.
  std::vector<std::pair<int, std::string>>* changedFiles = nullptr;
  timespec changedSince{};

  // True when a failed inotify_add_watch with this errno skips the directory.
  bool skips(int error) const;
};

// What a directory's own IN_MOVE_SELF turned out to mean.
enum class MoveOutcome {
  kMovedInside,  // its move within the tree was matched; the entry has its new parent and name
  kMovedOut,     // it left the tree: its departure had no arrival
  kUnmatched,    // no recorded move names it: where it went is not known
};

// One directory rename as its records told it so far: the entries that bore the old parent and
// name (usually one; more when the registry held a stale twin), and where it arrived, if in the
// tree.
struct DirectoryMove {
  uint32_t cookie = 0;
  std::vector<int> leaving;
  bool arrived = false;
  int toParent = -1;
  std::string toName;
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
  // The path of a registered directory when it is shorter than kMaxPath; nothing for an
  // unregistered descriptor or a longer path. Costs at most kMaxPath / 2 steps, however deep the
  // chain: renames can push watched directories thousands of levels down.
  std::optional<std::string> boundedPathOf(int wd) const;
  // The length boundedPathOf() would give, without building the path: the check made for every
  // record and every directory watched.
  std::optional<size_t> boundedPathLength(int wd) const;
  // True when boundedPathOf() would give a path.
  bool pathFits(int wd) const;

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

  // Move bookkeeping. Unknown descriptors and cookies are ignored, never raised. The kernel
  // reports a rename as IN_MOVED_FROM in the old parent, IN_MOVED_TO in the new one (when it is
  // watched) and then IN_MOVE_SELF on the directory itself: only that last record says for sure
  // which directory moved, since a parent and name may have named another one by then.
  void recordMoveFrom(int wd, const std::string& name, uint32_t cookie);
  // Notes where the directory that left with `cookie` arrived, and gives it its new parent and
  // name at once when only one entry bore the old ones. False when no registered directory left
  // with it: what arrived came from outside the tree.
  bool completeMoveTo(int wd, const std::string& name, uint32_t cookie);
  // The directory `wd` reported its own move: settles the oldest recorded move that names it.
  MoveOutcome settleMove(int wd);
  void removeChild(int wd, const std::string& name);
  // Drops every recorded departure: after lost records, half of a move may be all there is.
  void forgetMoves();
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
  // True when it was a directory of the tree (not a queue mark): a watch was given back.
  bool forgetWatch(int wd);

  // Opens the registered directory `wd` by its path, and only when that path still leads to it:
  // a name in the tree may have become a link to anywhere since it was watched. -1 otherwise.
  // The caller owns the descriptor.
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
  // The descriptor of the target's own watch; -1 while it has none.
  int targetWd() const { return targetWd_; }

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
  // A wall-clock time before which none of the records of the last read, nor any record lost
  // with them, was queued: taken just before the last earlier read that emptied the kernel's
  // queue (the construction's time until one did).
  timespec drainedAt() const { return drainedAt_; }

  int fd() const { return fd_; }
  uint32_t defaultMask() const { return defaultMask_; }
  const std::map<int, WatchEntry>& entries() const { return entries_; }
  const std::vector<DirectoryMove>& moves() const { return moves_; }
  const std::vector<std::string>& ignoreList() const { return ignoreList_; }

 private:
  bool isIgnored(const std::string& name) const;
  // The names from `wd` up its parent chain, `wd`'s first. False for an unregistered `wd`, or when
  // the names and slashes reach `limit` bytes.
  bool collectNames(int wd, size_t limit, std::vector<const std::string*>& names) const;
  // True when `ancestor` is `wd` or lies on its parent chain.
  bool isSelfOrAncestor(int ancestor, int wd) const;
  // How many parent steps lead from `wd` up to `ancestor`; -1 when `ancestor` is not on the
  // chain, or when `stopAtLinks` and the way up passes a directory reached through a link.
  int depthBelow(int ancestor, int wd, bool stopAtLinks = false) const;
  PlacedWatch placeWatchAt(int parent, const std::string& name, const char* path, uint32_t mask,
                           bool viaLink);
  // tryPlaceWatch, with the kernel given `kernelPath` (which may differ from the path of the
  // entry: a /proc/self/fd path through the open parent) and `flags` added to the mask.
  // `parentLength`: the length of the parent's path when the caller knows it (nothing: looked up).
  std::optional<PlacedWatch> tryPlaceWatchAt(int parent, const std::string& name,
                                             const char* kernelPath, uint32_t flags, bool viaLink,
                                             const ScanOptions& options,
                                             std::optional<size_t> parentLength = std::nullopt);
  // Reports a directory that is not watched to `options`; throws when they do not skip `error`.
  std::optional<PlacedWatch> skipped(int parent, const std::string& name, int error,
                                     const ScanOptions& options);
  // Watches the entry `name` of the directory `parent`, open as `parentFd`, when it is a
  // directory or a link to one that may be followed. `type` is readdir's d_type (DT_UNKNOWN:
  // look). Returns what placing the watch did; nothing when the entry is not watched.
  // With `opened`, a directory opened to be watched is left open there, for the caller to read
  // and close (-1 when none was).
  std::optional<PlacedWatch> watchEntry(int parent, int parentFd, const std::string& name,
                                        unsigned char type, const ScanOptions& options,
                                        int* opened = nullptr,
                                        std::optional<size_t> parentLength = std::nullopt);
  // Watches every directory below the registered `wd`, with a bounded number of directories open
  // however deep the tree. `opened`: `wd` open already (the scan closes it), or -1.
  void scanBelow(int wd, const ScanOptions& options, int opened = -1);
  // Adds `name` to the options' changedFiles when it is a regular file changed since then.
  static void noteIfChanged(int wd, int directoryFd, const char* name, const ScanOptions& options);
  // True when the directory open as `fd` is the one watched as `wd` (always, without /proc to
  // ask the kernel through). A watch the asking made on another directory is given back.
  bool isWatchedAs(int fd, int wd);
  // The directory the watch `wd` was just added for is not the one expected: gives the watch
  // back unless it was registered already.
  void dropStrayWatch(int wd, const std::string& path);

  friend void scanDirectory(InotifyWatch& registry, int wd, const std::string& path,
                            const std::vector<std::string>& ignore, const ScanOptions& options);

  int fd_ = -1;                          // the inotify instance; -1 while none is open
  std::unique_ptr<std::byte[]> buffer_;  // kBufferSize bytes, allocated once
  uint32_t defaultMask_;
  // Never has the key -1. Parent chains do not loop: placeWatch refuses to make a directory its
  // own ancestor, and a directory cannot be moved below itself. Walks are bounded all the same.
  std::map<int, WatchEntry> entries_;
  std::vector<DirectoryMove> moves_;  // renames whose IN_MOVE_SELF is still to come, oldest first
  std::vector<std::string> ignoreList_;
  // The device and inode numbers of the directories isWatchedAs last found to be their watch's
  // own, so that a burst of closes in one directory checks it with the kernel once. A
  // few thousand at most; forgotten with their watch.
  static constexpr size_t kMaxCheckedIds = 4096;
  std::unordered_map<int, std::pair<dev_t, ino_t>> checkedIds_;
  // The names of one path lookup, kept between lookups so that describing a record allocates no
  // list of names.
  mutable std::vector<const std::string*> scratchNames_;
  timespec drainedAt_{};  // see drainedAt()
  timespec emptiedAt_{};  // taken before the last read that emptied the queue
  int targetWd_ = -1;     // the target's watch, once placed
  bool procFds_ = false;  // /proc/self/fd paths reach open directories: watches are placed on
                          // exactly the directory read, never on whatever a path leads to later
};

// Joins a directory path and a name: an absolute name stands alone, an empty base gives "/name",
// and a base ending in "/" gets no second slash. Nothing else is normalised.
std::string joinPath(const std::string& base, const std::string& name);

// True when stat() (following links) succeeds and finds a directory.
bool isDirectory(const std::string& path);

}  // namespace vellumd
