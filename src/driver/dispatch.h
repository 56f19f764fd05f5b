// dispatch.h: what each inotify record means to the daemon. Keeps the registry in step with
// directories that appear, vanish or move, remembers files being written, and tells the decider
// of every completed file and every arrival; after lost records it rescans the tree and recovers
// what they would have told.
#pragma once

#include <sys/inotify.h>
#include <sys/types.h>
#include <time.h>

#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "driver/decider.h"
#include "exec/handler_queue.h"
#include "watch/watched_tree.h"

namespace vellumd {

// Logs "Can't watch directory PATH - REASON" for a directory that was skipped.
void logUnwatchable(const std::string& path, int error, std::ostream* log);
// How the start-up scan reports what it skips: the same lines as the running daemon's. Names
// matching `excludes` (may be null) are not watched.
ScanOptions startupScanOptions(std::ostream* log,
                               const std::vector<std::string>* excludes = nullptr);

// The routing of records. Holds references to the loop's watched tree and the start-up strings;
// owns the decider.
class Dispatcher {
 public:
  // REQUIRES: `tree`, `runs`, `target`, `handler`, `options` and `*log` outlive the dispatcher.
  Dispatcher(WatchedTree& tree, HandlerQueue& runs, const std::string& target,
             const std::string& handler, std::ostream* log, const DispatchOptions& options = {});
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;
  virtual ~Dispatcher();

  // Acts on one record, after the loop has logged it. Exceptions reach the loop's catch-all.
  void dispatch(const inotify_event& event);
  // The records of one read are all dispatched: the directory held open for them is closed, so
  // that the next read's records check their directory's path again.
  void endOfRecords() { identity_.endOfRead(); }

  // The decisions to run: settle times, the state file's snapshot and catch-up.
  Decider& decider() { return decider_; }
  const Decider& decider() const { return decider_; }

 private:
  // Where a directory found by the rescan after lost records came from, as its birth time tells.
  enum class DirectoryOrigin {
    kMadeHere,  // born since the records were lost: its files are all new
    kMovedIn,   // born before: moved in, or renamed from a name not watched
    kUnknown,   // the file system keeps no birth time
  };

  // The directory `wd` reported its own move.
  void dispatchMove(int wd);
  // REQUIRES: the record's watch is in the tree, at a path short enough to name.
  void dispatchDirectory(const inotify_event& event, const std::string& name);
  // `handledByLook`: the record was queued before the mark of a look that handled the file.
  void dispatchFile(const inotify_event& event, const std::string& name, bool handledByLook);
  // Logs that the target was moved away or deleted, and ends the daemon with status 3.
  [[noreturn]] void targetGone();
  // After the kernel's queue overflowed: rescans the tree, gives the directories that arrived
  // meanwhile their runs, and looks at the files whose completion may have been lost.
  void recoverFromOverflow();
  static DirectoryOrigin originOf(const std::string& path, const timespec& since);
  // Watches whatever the tree holds that is not watched yet, and re-homes what is watched under
  // a way that is gone. After lost records (`afterOverflow`) half-seen moves are forgotten too.
  // The directories newly watched go to `appeared`, those re-homed to `renamed` (either null).
  void rescanTree(bool afterOverflow, std::vector<int>* appeared = nullptr,
                  std::vector<int>* renamed = nullptr);
  // Watches a directory that appeared under `parent` and everything below it. One that vanished
  // or cannot be read is logged and skipped. A created directory (`lookInside`) may already hold
  // files that were written before its watch existed: they are looked at.
  void watchArrival(int parent, const std::string& name, bool lookInside);
  // Skips what the running daemon cannot watch, logging it; directories refused for want of
  // watches are collected for noteStarved().
  ScanOptions runtimeScanOptions();
  void noteStarved();
  // Tries the directories refused for want of watches again, until one is refused again.
  void retryStarved();

  InotifyWatch& watch_;
  WatchRegistry& registry_;  // watch_'s
  DirectoryIdentity& identity_;
  TreeScan& scan_;
  const std::string& target_;
  std::ostream* log_;  // null: nothing is logged
  const DispatchOptions options_;
  Decider decider_;
  // Directories not watched for want of watches, by parent and name; tried again as watches are
  // given back. Forgotten when the name is deleted or moved away.
  std::set<std::pair<int, std::string>> starved_;
  std::vector<std::pair<int, std::string>> newlyStarved_;  // filled by the scan in progress
};

}  // namespace vellumd
