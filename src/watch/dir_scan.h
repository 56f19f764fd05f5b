// dir_scan.h: the scan that watches a directory and everything below it, and the input iterator
// over one directory stream.
//
// TreeScan places a watch on every directory of a tree through an InotifyWatch, at start-up, for
// a directory created or moved in, and after lost records. Each directory is opened through its
// open parent and watched through that descriptor, never through a path that a renamed directory
// or a planted link could redirect; links are followed only when their owner is trusted
// (isTrustedOwner). What it skips and what it finds is reported through ScanOptions. It owns
// nothing between calls. Single-threaded.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "watch/directory_identity.h"
#include "watch/inotify_watch.h"

namespace vellumd {

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

// True when `name` matches one of the shell `patterns` (fnmatch, no flags).
bool matchesAnyPattern(const std::string& name, const std::vector<std::string>& patterns);

class TreeScan {
 public:
  // REQUIRES: `watch` and `identity` outlive the scan.
  TreeScan(InotifyWatch& watch, DirectoryIdentity& identity) : watch_(watch), identity_(identity) {}
  TreeScan(const TreeScan&) = delete;
  TreeScan& operator=(const TreeScan&) = delete;
  virtual ~TreeScan();

  // Watches `target` (when it is a directory) and every directory below it. Once watched, the
  // target is that directory for good: a later call whose name leads elsewhere scans nothing.
  // Throws what placing a watch throws, except for the failures `options` says to skip.
  void watchTree(const std::string& target, const ScanOptions& options = {});
  // Watches the directory `name` inside registered `parent` and every directory below it, unless
  // it was registered there already. Returns what placing its own watch did; nothing when it
  // was skipped.
  std::optional<PlacedWatch> watchSubtree(int parent, const std::string& name,
                                          const ScanOptions& options);

 private:
  // Watches the entry `name` of the directory `parent`, open as `parentFd`, when it is a
  // directory or a link to one that may be followed. `type` is readdir's d_type (DT_UNKNOWN:
  // look). Returns what placing the watch did; nothing when the entry is not watched.
  // With `opened`, a directory opened to be watched is left open there, for the caller to read
  // and close (-1 when none was). `parentLength`: the parent's path length, when known.
  std::optional<PlacedWatch> watchEntry(int parent, int parentFd, const std::string& name,
                                        unsigned char type, const ScanOptions& options,
                                        int* opened = nullptr,
                                        std::optional<size_t> parentLength = std::nullopt);
  // A trusted link `name` in `parentFd`, followed where it passes no further link.
  std::optional<PlacedWatch> watchLink(int parent, int parentFd, const std::string& name,
                                       bool announced, const ScanOptions& options, int* opened,
                                       std::optional<size_t> parentLength);
  // Places a watch with the kernel given `kernelPath` and `flags` added to the mask, reporting a
  // directory it cannot watch to `options`.
  std::optional<PlacedWatch> tryPlaceWatchAt(int parent, const std::string& name,
                                             const char* kernelPath, uint32_t flags, bool viaLink,
                                             const ScanOptions& options,
                                             std::optional<size_t> parentLength = std::nullopt);
  // Reports a directory that is not watched to `options`; throws when they do not skip `error`.
  std::optional<PlacedWatch> skipped(int parent, const std::string& name, int error,
                                     const ScanOptions& options);
  // Watches every directory below the registered `wd`, with a bounded number of directories open
  // however deep the tree. `opened`: `wd` open already (the scan closes it), or -1.
  void scanBelow(int wd, const ScanOptions& options, int opened = -1);
  // An ignored target ("." or ".."): its entries are read by path, each watched subtree scanned.
  void scanIgnoredTarget(const std::string& target, const ScanOptions& options);

  InotifyWatch& watch_;
  DirectoryIdentity& identity_;
};

// A single-pass iterator over the entries of an open directory stream, skipping the names on
// its ignore list. It does not own the stream: whoever opened it closes it. Copies share it.
class DirEntryIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = dirent;
  using difference_type = void;
  using pointer = const dirent*;
  using reference = const dirent&;

  // The names every scan skips: "." and "..".
  class DefaultIgnoreList : public std::vector<std::string> {
   public:
    DefaultIgnoreList();
    virtual ~DefaultIgnoreList();
  };

  // The end iterator.
  DirEntryIterator();
  // Stands on the first entry of `dir` not in `ignore`; `dir` null gives an end iterator.
  DirEntryIterator(DIR* dir, const std::vector<std::string>& ignore);
  DirEntryIterator(const DirEntryIterator&) = default;
  DirEntryIterator& operator=(const DirEntryIterator&) = default;
  virtual ~DirEntryIterator();

  reference operator*() const { return *current_; }
  pointer operator->() const { return current_; }
  DirEntryIterator& operator++();
  DirEntryIterator operator++(int);
  bool operator==(const DirEntryIterator& other) const { return current_ == other.current_; }

 private:
  void advance();

  DIR* dir_ = nullptr;         // not owned; null for an end iterator
  dirent* current_ = nullptr;  // the entry last returned by readdir(); null at the end
  std::vector<std::string> ignore_;
};

}  // namespace vellumd
