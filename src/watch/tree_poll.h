// tree_poll.h: the tree read again and again, for file systems whose changes inotify cannot see
// (a share written by other machines, a FUSE mount of a backing store).
//
// TreePoll walks the tree from its target at every scan, reading each directory once with
// getdents64 and stat'ing only regular files (and trusted links), and remembers each file's size,
// modification time and change time. A file is reported stable once the same stamp has been seen
// in two scans in a row (and, with a settle time, kept that long) and differs from the stamp it
// was last handed over at; what to do with it is the caller's. A scan that cannot read the target,
// or finds a tree that was full suddenly empty on another device (a mount gone), changes nothing
// it remembers. Owns its memory of the tree; no descriptor outlives a scan. Single-threaded.
#pragma once

#include <sys/stat.h>

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/descriptor.h"

namespace vellumd {

// What a scan saw of one regular file: any change moves one of them.
struct FileStamp {
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const FileStamp& other) const;
};

class TreePoll {
 public:
  using Clock = std::chrono::steady_clock;

  // A file found stable: its directory open as `directoryFd` at `directory`, its `name` and its
  // stamp. Returns true when it was handed over (or need never be), false to be offered again at
  // the next scan that finds it unchanged (a writer still has it open).
  using OnStable = std::function<bool(int directoryFd, const std::string& directory,
                                      const std::string& name, const FileStamp& stamp)>;
  // At the first scan: true for a file already there that is still to be handed over (changed
  // since a saved state's horizon); the others are taken as handed over already.
  using IsNew = std::function<bool(const std::string& path, const FileStamp& stamp)>;

  struct Outcome {
    size_t stable = 0;       // files OnStable took
    size_t directories = 0;  // directories read
    std::string trouble;     // why the target could not be read; empty when it could
  };

  // REQUIRES: `excludes` outlives the poll. `settle`: how long a stamp must have been kept.
  TreePoll(std::string target, const std::vector<std::string>& excludes,
           std::chrono::milliseconds settle);
  TreePoll(const TreePoll&) = delete;
  TreePoll& operator=(const TreePoll&) = delete;
  virtual ~TreePoll();

  // Reads the whole tree once. `isNew` is asked at the first scan that reads the target only.
  Outcome scan(const OnStable& onStable, const IsNew& isNew);
  // The paths of files seen changed and not yet handed over.
  std::vector<std::string> pending() const;
  // The wall-clock time at which the last scan that read the target started: every change made
  // before it was seen by that scan.
  timespec scannedSince() const { return scannedSince_; }

 private:
  struct Known {
    FileStamp seen;                   // at the last scan that found it
    std::optional<FileStamp> handed;  // when it was last handed over (or taken as handed)
    Clock::time_point seenSince;      // when `seen` was first seen
    unsigned scan = 0;                // the last scan that found it
  };
  // The files of one directory by name, and the directories below it by name: a scan looks up
  // each file and directory by its short name, so that a tree read costs little beside its
  // system calls.
  struct Directory {
    std::unordered_map<std::string, Known> files;
    std::unordered_map<std::string, std::unique_ptr<Directory>> below;
    unsigned scan = 0;  // the last scan that read it
  };
  struct Pass;  // what one scan carries from directory to directory
  // Opens the target by its name for a scan, and only when it may be read: not another user's
  // link, and not a mount gone (empty, on another device). Nothing, with `outcome.trouble` set,
  // otherwise.
  Descriptor openTarget(Outcome& outcome, struct stat& info);
  // Reads the directory open as `fd` at `path`, known as `known`, `depth` levels below the target,
  // and every directory below it.
  void readDirectory(Pass& pass, int fd, const std::string& path, size_t depth, Directory& known);
  // Reads the entries of the directory open as `fd`: offers its regular files, puts the names of
  // its directories (and whether each is a trusted link) in `below`; returns how many files it
  // found.
  size_t readEntries(Pass& pass, int fd, const std::string& path, Directory& known,
                     std::vector<std::pair<std::string, bool>>& below);
  // One regular file found by the scan under way in `directory`, at `path`.
  void found(Directory& known, int directoryFd, const std::string& path, const std::string& name,
             const FileStamp& stamp, Clock::time_point now, const OnStable& onStable,
             const IsNew& isNew, Outcome& outcome);
  // Forgets the files of `known` at `directory` that the scan under way did not find, `found`
  // being how many it did; with `below`, the directories below it too.
  void forgetUnseen(const std::string& directory, Directory& known, size_t found, bool below);
  // Forgets everything below `known` at `directory`, as gone.
  void forgetAll(const std::string& directory, const Directory& known);
  // Keeps `pending_` in step with `known`.
  void notePending(const std::string& path, const std::string& name, const Known& known);

  std::string target_;
  const std::vector<std::string>& excludes_;
  std::chrono::milliseconds settle_;
  Directory root_;                           // what the scans found of the tree
  std::unordered_set<std::string> pending_;  // see pending()
  unsigned scan_ = 0;                        // scans begun
  size_t files_ = 0;         // regular files found by the last scan that read the target
  size_t directories_ = 0;   // directories read by that scan
  bool first_ = true;        // no scan has read the target yet
  dev_t targetDevice_ = 0;   // of the last scan that read the target
  timespec scannedSince_{};  // see scannedSince()
};

}  // namespace vellumd
