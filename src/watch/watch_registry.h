// watch_registry.h: what the daemon knows of the watched tree, one entry per kernel watch:
// (descriptor -> parent descriptor, name, files being written). Paths are rebuilt from the parent
// chain at every use and never cached, so renaming a directory changes one entry and nothing
// below it. Every question about a chain (a path, its length, a depth, whether it still reaches
// the target, the way down from the target) is answered by one walk up it, walkUp(), so that no
// two answers can disagree. Makes no system call: the kernel's side is InotifyWatch's, which owns
// the one registry. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

class WatchRegistry {
 public:
  // How a walk up the parent chain ended.
  enum class WalkEnd {
    kTop,      // at an entry with no parent
    kStopped,  // the visit asked to stop
    kGap,      // at an entry whose parent is not registered: its path stops there
    kTooLong,  // the path from the top down to the walk's start reached the limit
    kUnknown,  // the start is not registered
  };

  WatchRegistry() = default;
  WatchRegistry(const WatchRegistry&) = delete;
  WatchRegistry& operator=(const WatchRegistry&) = delete;
  virtual ~WatchRegistry();

  // Visits `wd` and each entry above it, nearest first: visit(descriptor, entry) returns false to
  // stop. With `length`, receives the length of the path of `wd` as pathOf() joins it (as far as
  // the walk went). Each level adds a name and usually a slash, so a walk with a limit ends
  // within limit / 2 steps however deep renames have pushed the chain.
  template <typename Visit>
  WalkEnd walkUp(int wd, Visit&& visit, size_t limit = SIZE_MAX, size_t* length = nullptr) const;

  const std::map<int, WatchEntry>& entries() const { return entries_; }
  bool contains(int wd) const { return entries_.contains(wd); }
  // The entry of `wd`; null when it is not registered.
  const WatchEntry* find(int wd) const;

  // Records the kernel's watch `wd` on the directory `name` under `parent` (-1: none).
  PlacedWatch record(int wd, int parent, const std::string& name, bool viaLink);
  // Adds `wd` departed from birth, labelled `label` for the log (a queue mark, a stray watch).
  // False when it is registered already.
  bool recordDeparted(int wd, const std::string& label);
  // Gives `wd` a new parent and name.
  void rename(int wd, int parent, const std::string& name);
  // Forgets `wd`; false when it was not registered.
  bool erase(int wd);
  // The directories in the tree named `name` under `parent`: usually one, more when a stale twin
  // is still registered.
  std::vector<int> childrenNamed(int parent, const std::string& name) const;
  // Marks `wd` and every directory below it departed, except those reached through a link (they
  // may be in the tree by another way), and returns them deepest first.
  std::vector<int> departSubtree(int wd);

  // Where a directory stands, as one walk up its chain finds it: the question every record asks.
  struct Location {
    enum class Status {
      kUnknown,   // not registered (a watch already forgotten)
      kDeparted,  // no longer in the tree: its records are described, not acted on
      kTooLong,   // renames pushed its path to kMaxPath or beyond: nothing in it can be named
      kAdrift,    // a directory above it is gone or departed: its path leads nowhere now
      kInTree,    // in the tree at `path`
    };
    Status status;
    std::string path;  // kInTree only
  };
  // `withPath`: build the path too (a caller that only asks where it stands need not).
  Location locate(int wd, bool withPath = true) const;

  // The path of a registered directory; "" for -1. Throws NotFoundError for any other
  // unregistered descriptor.
  std::string pathOf(int wd) const;
  // The path of a registered directory when it is shorter than kMaxPath; nothing for an
  // unregistered descriptor or a longer path.
  std::optional<std::string> boundedPathOf(int wd) const;
  // The length boundedPathOf() would give, without building the path.
  std::optional<size_t> boundedPathLength(int wd) const;
  bool pathFits(int wd) const { return boundedPathLength(wd).has_value(); }
  // The names between `top` and `wd`, joined: the way down from `top`. Nothing when an entry on
  // the way is gone or departed (`gone` is then set), or when the way passes a directory reached
  // through a link or never meets `top`, or `wd` is `top`.
  std::optional<std::string> wayDown(int top, int wd, bool& gone) const;
  // How many parent steps lead from `wd` up to `ancestor`; -1 when `ancestor` is not on the
  // chain, or when `stopAtLinks` and the way up passes a directory reached through a link.
  int depthBelow(int ancestor, int wd, bool stopAtLinks = false) const;
  // True when every directory from `wd` up to the top is registered and in the tree: its path
  // then is a path in the tree.
  bool isRooted(int wd) const;
  bool isDeparted(int wd) const;

  // Files being written, per directory and name. Unknown directories are ignored.
  void notePending(int wd, const std::string& name, uint32_t mask);
  uint32_t pendingMask(int wd, const std::string& name) const;
  void clearPending(int wd, const std::string& name);
  // pendingMask(), and the name is no longer pending: a close completes it.
  uint32_t takePending(int wd, const std::string& name);

 private:
  // The names from `wd` up, `wd`'s first, into scratchNames_. False for an unregistered `wd` or a
  // path reaching `limit`.
  bool collectNames(int wd, size_t limit) const;

  // Never has the key -1. Parent chains do not loop: placement refuses to make a directory its
  // own ancestor, and a directory cannot be moved below itself. Walks are bounded all the same.
  std::map<int, WatchEntry> entries_;
  // The names of one path lookup, kept between lookups so that describing a record allocates no
  // list of names.
  mutable std::vector<const std::string*> scratchNames_;
};

// Joins a directory path and a name: an absolute name stands alone, an empty base gives "/name",
// and a base ending in "/" gets no second slash. Nothing else is normalised.
std::string joinPath(const std::string& base, const std::string& name);

template <typename Visit>
WatchRegistry::WalkEnd WatchRegistry::walkUp(int wd, Visit&& visit, size_t limit,
                                             size_t* length) const {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return WalkEnd::kUnknown;
  size_t total = it->second.name.size();
  if (total >= limit)
    return WalkEnd::kTooLong;
  WalkEnd end = WalkEnd::kGap;
  for (size_t steps = 0; steps <= entries_.size(); ++steps) {
    if (!visit(it->first, it->second)) {
      end = WalkEnd::kStopped;
      break;
    }
    if (it->second.parent == -1) {
      end = WalkEnd::kTop;
      break;
    }
    auto up = entries_.find(it->second.parent);
    if (up == entries_.end())
      break;
    // As joinPath joins: a slash between two names, unless the upper one ends with it.
    const std::string& name = up->second.name;
    total += name.size() + (name.empty() || name.back() != '/' ? 1 : 0);
    if (total >= limit)
      return WalkEnd::kTooLong;
    it = up;
  }
  if (length != nullptr)
    *length = total;
  return end;
}

}  // namespace vellumd
