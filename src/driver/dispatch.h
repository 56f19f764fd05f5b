// dispatch.h: what each inotify record means to the daemon. Keeps the registry in step with
// directories that appear, vanish or move, remembers files being written, and runs the handler
// for every completed file and every arrival.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "exec/handler_queue.h"
#include "base/descriptor.h"
#include "watch/file_probe.h"
#include "watch/inotify_watch.h"
#include "watch/watched_tree.h"
#include "watch/state_file.h"

namespace vellumd {

// Logs "Can't watch directory PATH - REASON" for a directory that was skipped.
void logUnwatchable(const std::string& path, int error, std::ostream* log);
// Logs "Skip link PATH - owned by uid N" for a link that is neither followed nor handed over.
void logUntrustedLink(const std::string& path, uid_t owner, std::ostream* log);
// How the start-up scan reports what it skips: the same lines as the running daemon's. Names
// matching `excludes` (may be null) are not watched.
ScanOptions startupScanOptions(std::ostream* log,
                               const std::vector<std::string>* excludes = nullptr);

using SteadyClock = std::chrono::steady_clock;

// What the command line asks of the policy; the defaults keep the plain rule (run at the close
// or arrival, every name).
struct DispatchOptions {
  // A run decided for a name waits this long with no further record for that name: upload tools
  // write a temporary name, then rename it, and only the final name should be handed over.
  std::chrono::milliseconds settle{0};
  // Shell patterns (fnmatch, no flags) of names never handed over; directories that match are
  // neither watched nor scanned.
  std::vector<std::string> excludes;
};

// The policy. Holds references to the loop's watched tree, its run queue and the start-up
// strings; owns the record of what its looks into new directories handled.
class Dispatcher {
 public:
  // REQUIRES: `tree`, `runs`, `target`, `handler` and `*log` outlive the dispatcher.
  Dispatcher(WatchedTree& tree, HandlerQueue& runs, const std::string& target,
             const std::string& handler, std::ostream* log, const DispatchOptions& options = {});
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;
  virtual ~Dispatcher();

  // Acts on one record, after the loop has logged it. Exceptions reach the loop's catch-all.
  void dispatch(const inotify_event& event);
  // The records of one read are all dispatched: the directory held open for them is closed, so
  // that the next read's records check their directory's path again.
  void endOfRecords();

  // How far the tree has been handled, to be saved: see TreeState.
  TreeState snapshot() const;
  // Catches up with a tree that changed while the daemon was stopped: every regular file changed
  // since the state's horizon (`changed`, by directory and name, as the start-up scan found
  // them), or named to be looked at, is looked at as a file found in a new directory is, except a
  // file whose run started at its present change time. Before any record is dispatched.
  void catchUp(const TreeState& state, const std::vector<std::pair<int, std::string>>& changed);

  // When the next name waiting to settle may be due; nothing while none waits. The loop wakes by
  // then and calls releaseSettled(), which decides the runs of the names that have settled, at
  // most `limit` of them.
  std::optional<SteadyClock::time_point> nextSettled() const;
  void releaseSettled(size_t limit = SIZE_MAX);

 private:
  // Logs "Call handler HANDLER with argument: PATH" and queues the run of the handler with the
  // path as its one argument. `changed` is the file's change time as the decision saw it.
  void callHandler(const std::string& path, const timespec& changed, bool byLook = false);
  // True when a look already ran `path` at the change time `changed`: a record queued before
  // that look's mark, read after an overflow dropped the mark, tells of the same completion.
  bool lookedAtAlready(const std::string& path, const timespec& changed) const;
  // How a run was decided on, and so what is checked again when it is made.
  enum class RunKind {
    kClose,             // a written file was closed
    kArrival,           // a file arrived, or a look found it complete
    kDirectoryArrival,  // a directory arrived
  };
  // A run for `name` in `wd`: made now, or once the name has settled.
  void decide(int wd, const std::string& name, RunKind kind);
  // Makes the run for `name` in `wd` no sooner than `deadline` and the next quiet moment, when
  // every record queued meanwhile has been read.
  void waitToRun(int wd, const std::string& name, RunKind kind, SteadyClock::time_point deadline);
  // Makes the run for `name` in `wd`, checking the name as it is now.
  void run(int wd, const std::string& name, RunKind kind);
  // Calls the handler for `name` in `wd` (at `directory`) when mayHandOver() holds for what the
  // name is now in the directory watched and no look ran it at this change already. A regular
  // file that arrived is looked at first: handed over now when nobody writes it, at its close
  // when someone may.
  void handOver(int wd, const std::string& directory, const std::string& name, RunKind kind);
  bool isExcluded(const std::string& name) const;
  // Restarts or drops the wait of a settling name that the record concerns.
  void noteSettlingRecord(const inotify_event& event, const std::string& name);
  // True for a regular file (`directory`: a directory), or a link of a trusted owner, at a path
  // short enough to name. Logs an untrusted link.
  bool mayHandOver(const std::string& path, const struct stat& info, bool directory);
  // The directory `wd`, opened from the target through no link (openBelowTarget) once the
  // target's own path was checked in this read, or by its path when that still leads to it
  // (openWatched); -1 when neither way leads to it. Held open for the following records of the
  // same read. A burst of closes costs one open each, not an open by path, a check and a close.
  // Not owned by the caller.
  int openHeld(int wd);
  // Logs that the target was moved away or deleted, and ends the daemon with status 3.
  [[noreturn]] void targetGone();
  // Drops the runs decided before the queue was last seen empty (less a margin).
  void forgetOldRuns();
  // REQUIRES: the record's watch is in the tree, at a path short enough to name.
  void dispatchDirectory(const inotify_event& event, const std::string& name);
  void dispatchFile(const inotify_event& event, const std::string& name);
  // Watches a directory that appeared under `parent` and everything below it. One that vanished
  // or cannot be read is logged and skipped. A created directory (`lookInside`) may already hold
  // files that were written before its watch existed: they are looked at.
  void watchArrival(int parent, const std::string& name, bool lookInside);
  // Handles the complete files in newly watched directories and notes the others as pending.
  // With `changedSince`, only files changed since then, except those whose run was decided at
  // their present change time.
  void lookAtFiles(const std::vector<int>& directories, const timespec* changedSince = nullptr);
  // Looks at `names` in the directory `wd` (open as `directoryFd`, at `directory`) that are
  // regular files not excluded and, with `changedSince`, changed since then and not run at their
  // present change time; in batches of kLeasesPerMark.
  void lookAtNames(int wd, const std::string& directory, int directoryFd,
                   const std::vector<std::string>& names, const timespec* changedSince);
  // A regular file a look takes up, and whether it was empty when found.
  struct FoundFile {
    std::string name;
    bool empty;
  };
  // Looks at `files` in the directory `wd` at `directory`, open as `directoryFd`, holding the
  // leases of those not empty together (see emptyAtLook_ for the others). `settled`: the names
  // have had their wait already.
  void lookAtBatch(int wd, const std::string& directory, int directoryFd,
                   const std::vector<FoundFile>& files, bool settled = false);
  // The run a look decided for `name` in `wd`, complete at `changed`: made now, or once the
  // name has settled.
  void decideLooked(int wd, const std::string& directory, const std::string& name,
                    const timespec& changed, bool settled);
  // Notes what a record tells of a file found empty by a look whose mark is not read yet.
  void noteEmptyAtLookRecord(const inotify_event& event, const std::string& name);
  // Decides on `file`, found empty by the look whose mark is `mark`, now that the records
  // queued before the mark are read (or lost).
  void decideEmptyAtLook(const std::pair<int, std::string>& file, int mark);
  // Hands over the file `name` in `wd`, noted as created by a look that found it empty, when a
  // lease finds it still empty and written by nobody.
  void decideEmpty(int wd, const std::string& name, bool settled);
  // After the kernel's queue overflowed: rescans the tree, gives the directories that arrived
  // meanwhile their runs, and looks at the files whose completion may have been lost.
  void recoverFromOverflow();
  // Where a directory found by that rescan came from, as its birth time tells.
  enum class DirectoryOrigin {
    kMadeHere,  // born since the records were lost: its files are all new
    kMovedIn,   // born before: moved in, or renamed from a name not watched
    kUnknown,   // the file system keeps no birth time
  };
  static DirectoryOrigin originOf(const std::string& path, const timespec& since);
  // Watches whatever the tree holds that is not watched yet, and re-homes what is watched under
  // a way that is gone. After lost records (`afterOverflow`) half-seen moves are forgotten too.
  // The directories newly watched go to `appeared`, those re-homed to `renamed` (either null).
  void rescanTree(bool afterOverflow, std::vector<int>* appeared = nullptr,
                  std::vector<int>* renamed = nullptr);
  // Skips what the running daemon cannot watch, logging it; directories refused for want of
  // watches are collected for noteStarved().
  ScanOptions runtimeScanOptions();
  void noteStarved();
  // Tries the directories refused for want of watches again, until one is refused again.
  void retryStarved();

  InotifyWatch& watch_;
  WatchRegistry& registry_;       // watch_'s
  DirectoryIdentity& identity_;
  TreeScan& scan_;
  HandlerQueue& runs_;            // the loop's: decided runs wait there to be started
  const std::string& target_;
  const std::string& handler_;
  std::ostream* log_;  // null: nothing is logged
  const DispatchOptions options_;
  // Files a look handled, by directory and name, with the queue mark placed while their leases
  // held. Their records until that mark tell of the completion the look handled; the entries go
  // when the mark is read.
  std::map<std::pair<int, std::string>, int> lookedAt_;
  // The same files by mark, so that reading a mark costs its own files and not the whole map.
  std::unordered_map<int, std::vector<std::pair<int, std::string>>> lookedAtByMark_;
  // Files a look found empty, by directory and name, with the look's mark. An empty file may be
  // one whose writer's open() has made the name and not yet reached the point where a lease
  // would be seen: a lease then would make a non-blocking open fail, and taking the file for
  // complete would hand it over before it is written. So it is noted as created, its records
  // decide, and when the mark is read with none having told of it, a lease decides.
  struct EmptyAtLook {
    int mark;
    bool settled;                  // as lookAtBatch() was called
    bool createdUnclosed = false;  // a creation record read since the look, and no close
  };
  std::map<std::pair<int, std::string>, EmptyAtLook> emptyAtLook_;
  // Directories not watched for want of watches, by parent and name; tried again as watches are
  // given back. Forgotten when the name is deleted or moved away.
  std::set<std::pair<int, std::string>> starved_;
  std::vector<std::pair<int, std::string>> newlyStarved_;  // filled by the scan in progress
  // The runs decided lately, by path: the file's change time then, and when it was decided.
  // What an overflow makes the daemon look at again is not run twice for one change.
  struct RunDecision {
    timespec changed;
    timespec decidedAt;
    bool byLook = false;  // decided by a look, whose queue mark a later overflow may have lost
  };
  std::unordered_map<std::string, RunDecision> recentRuns_;
  timespec forgottenUpTo_{};  // recentRuns_ holds nothing decided before this
  // Names whose run waits for them to settle, and the deadlines in the order they fall (stale
  // ones included: a restarted wait pushes a new deadline).
  struct Settling {
    RunKind kind;
    SteadyClock::time_point deadline;
  };
  std::map<std::pair<int, std::string>, Settling> settling_;
  std::deque<std::pair<std::pair<int, std::string>, SteadyClock::time_point>> settleOrder_;
};

}  // namespace vellumd
