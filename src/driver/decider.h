// decider.h: the decision to run the handler for one name, and what it remembers to decide well.
//
// The dispatch routes each record and tells the decider of the names it completed: a written file
// closed, a file or directory arrived. The decider waits for the name to settle when asked to
// (SettleQueue), checks what the name is at that moment in the very directory watched (a FIFO, a
// device or an uploader's link never reaches the handler), looks at a file renamed into place
// before taking it for complete (Look), leaves out a completion it ran already (RecentRuns), and
// queues the run on the loop's HandlerQueue with one "Call handler" line. It also tells the state
// file how far the tree was handled, and catches up from it at start-up. Owned by the dispatch.
// Single-threaded.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "driver/look.h"
#include "driver/settle_queue.h"
#include "exec/handler_queue.h"
#include "watch/recent_runs.h"
#include "watch/state_file.h"
#include "watch/watched_tree.h"

namespace vellumd {

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

// How far a file's change time may trail the clock read before the change: file systems stamp
// with a coarse clock, a tick (a few milliseconds) behind.
inline constexpr long kChangeMarginNanoseconds = 20'000'000;

class Decider {
 public:
  // REQUIRES: every reference, and `*log`, outlives the decider.
  Decider(WatchedTree& tree, HandlerQueue& runs, const std::string& handler, std::ostream* log,
          const DispatchOptions& options);
  Decider(const Decider&) = delete;
  Decider& operator=(const Decider&) = delete;
  virtual ~Decider();

  bool isExcluded(const std::string& name) const;
  // A run for `name` in `wd`: made now, or once the name has settled.
  void decide(int wd, const std::string& name, RunKind kind);
  // Makes the run for `name` in `wd` no sooner than `deadline` and the next quiet moment, when
  // every record queued meanwhile has been read.
  void waitToRun(int wd, const std::string& name, RunKind kind,
                 SettleQueue::Clock::time_point deadline);

  // A record of `name` in `wd`: restarts or drops its settle wait. For a file, also tells the
  // look; true when the record is of a completion a look handled already.
  bool noteRecord(const inotify_event& event, const std::string& name);
  // Looks at the files of `directories` (see Look::atFiles) and runs the complete ones.
  void lookAt(const std::vector<int>& directories, const timespec* changedSince = nullptr);
  // The queue mark `wd` was read.
  void markRead(int wd) { act(look_.markRead(wd)); }
  // Records were lost, the looks' marks with them.
  void forgetMarks() { act(look_.forgetMarks()); }

  // When the next name waiting to settle may be due; nothing while none waits.
  std::optional<SettleQueue::Clock::time_point> nextSettled() const { return settle_.next(); }
  // Decides the runs of the names that have settled, at most `limit` of them.
  void releaseSettled(size_t limit = SIZE_MAX);
  // Forgets runs decided before the queue was last seen empty (less a margin).
  void forgetOldRuns();

  // True when `path`, a run's argument, may run again: it is still reached from `target` through
  // directories alone, none a link, and mayHandOver() holds for what it names now.
  bool mayRunAgain(const std::string& target, const std::string& path);

  // A file a poll found unchanged since its last scan: `name` in the directory open as
  // `directoryFd` at `directory`. Handed over when mayHandOver() holds for what the name is now,
  // no run started at its present change time, and no local process has it open for writing.
  // True unless it is to be offered again (written still).
  bool handOverPolled(int directoryFd, const std::string& directory, const std::string& name);
  // True when a run of `path` started at the change time `changed` (one saved in the state file).
  bool ranAt(const std::string& path, const timespec& changed) const {
    return recent_.ranAt(path, changed);
  }
  // Polling: every change made before `horizon` was seen, and `pending` lists the files seen
  // changed and not yet handed over; the state saved says so instead of the inotify queue.
  void notePolled(const timespec& horizon, std::vector<std::string> pending);

  // How far the tree has been handled, to be saved: see TreeState. A run under way is saved as
  // one to look at again, since a crash would leave its outcome unknown, unless `orderlyStop`:
  // the daemon stops and its runs go on to their end.
  TreeState snapshot(bool orderlyStop = false) const;
  // Catches up with a tree that changed while the daemon was stopped: every regular file changed
  // since the state's horizon (`changed`, by directory and name, as the start-up scan found
  // them), or named to be looked at, is looked at as a file found in a new directory is, except a
  // file whose run started at its present change time. The retries saved wait again for their
  // time, unless the file changed meanwhile. Before any record is dispatched.
  void catchUp(const TreeState& state, const std::vector<std::pair<int, std::string>>& changed);

 private:
  // Makes the run for `name` in `wd`, checking the name as it is now.
  void run(int wd, const std::string& name, RunKind kind);
  // Calls the handler for `name` in `wd` (at `directory`) when mayHandOver() holds for what the
  // name is now in the directory watched and no look ran it at this change already. A regular
  // file that arrived is looked at first: handed over now when nobody writes it, at its close
  // when someone may.
  void handOver(int wd, const std::string& directory, const std::string& name, RunKind kind);
  // True for a regular file (`directory`: a directory), or a link of a trusted owner, at a path
  // short enough to name. Logs an untrusted link.
  bool mayHandOver(const std::string& path, const struct stat& info, bool directory);
  // Runs what a look found complete (once settled, with a settle time), and looks again at what
  // it could not reach.
  void act(const std::vector<LookFinding>& findings);
  // Logs "Call handler HANDLER with argument: PATH" and queues the run of the handler with the
  // path as its one argument. `changed` is the file's change time as the decision saw it.
  void callHandler(const std::string& path, const timespec& changed, bool byLook = false);

  InotifyWatch& watch_;
  WatchRegistry& registry_;  // watch_'s
  DirectoryIdentity& identity_;
  HandlerQueue& runs_;  // the loop's: decided runs wait there to be started
  const std::string& handler_;
  std::ostream* log_;  // null: nothing is logged
  const DispatchOptions& options_;
  SettleQueue settle_;
  RecentRuns recent_;
  Look look_;
  // While polling: what the last scan saw, for snapshot().
  struct Polled {
    timespec horizon;
    std::vector<std::string> pending;
  };
  std::optional<Polled> polled_;
};

// Logs "Skip link PATH - owned by uid N" for a link that is neither followed nor handed over.
void logUntrustedLink(const std::string& path, uid_t owner, std::ostream* log);

}  // namespace vellumd
