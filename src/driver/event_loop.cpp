// event_loop.cpp: poll, read, describe, dispatch, start queued handlers, act on signals; and the
// one place errors become an exit.
#include "driver/event_loop.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <unordered_set>
#include <vector>

#include "driver/daemon_status.h"
#include "driver/dispatch.h"
#include "driver/signal_channel.h"
#include "driver/state_keeper.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "log/log_fold.h"
#include "watch/dir_scan.h"
#include "watch/state_file.h"
#include "watch/tree_poll.h"
#include "watch/watched_tree.h"

namespace vellumd {

namespace {
using Clock = std::chrono::steady_clock;

// Handler starts between two looks at the inotify descriptor: enough to keep forking cheap per
// look, few enough that a new burst of records is read within a few milliseconds.
constexpr size_t kStartsPerQuietTurn = 16;
// Names that have settled decided on between two looks at the inotify descriptor: each may cost
// a look with a lease and a queue mark.
constexpr size_t kSettledPerQuietTurn = 64;

int millisecondsUntil(Clock::time_point when, Clock::time_point now) {
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now);
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
}

// SIGHUP: the log file is opened again by its path, for a rotation that renamed it.
void reopenLog(LogFile& logFile, std::ostream* log) {
  if (const std::string why = logFile.reopen(); !why.empty()) {
    writeLog("Can't reopen log file " + escapeForLog(logFile.path()) + " - " + why +
                 " - logging on to the earlier file",
             log);
  }
}

// The running daemon: the watched tree, the run queue, the dispatch, the state and the log's
// fold, and the one poll() that waits for all of them.
class EventLoop {
 public:
  EventLoop(const LoopSettings& settings, std::ostream* log)
      : settings_(settings),
        log_(log),
        state_(settings.stateFile, settings.savedState, log),
        tree_(DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask),
        runs_(settings.handler, log),
        dispatcher_(tree_, runs_, settings.target, settings.handler, log, settings.dispatch),
        fold_(log),
        status_(settings.metricsPath, log) {
    if (settings.poll.count() > 0)
      poll_.emplace(settings.target, settings.dispatch.excludes, settings.dispatch.settle);
  }

  // Watches the tree, or waits for it when it is not there yet: a drop folder on a disk mounted
  // later, or made by a provisioning step that runs after the daemon's unit.
  void start() {
    runs_.setJobLimit(settings_.jobs);
    runs_.setPolicy(settings_.runPolicy);
    if (isDirectory(settings_.target)) {
      watchTarget();
      status_.start(tree_.watch, runs_);
      return;
    }
    status_.start(tree_.watch, runs_);
    settings_.report->releaseLauncher();
    targetCheckAt_ = Clock::now() + kTargetCheckEvery;
  }

  // Until SIGTERM or SIGINT: returns the exit status.
  int run() {
    // The inotify and signal descriptors, then the error pipes of the runs under way (-E).
    std::vector<pollfd> ready;
    for (;;) {
      ready.assign({{tree_.watch.fd(), POLLIN, 0}, {signals_.fd(), POLLIN, 0}});
      runs_.addErrorPipes(ready);
      const int result = poll(ready.data(), ready.size(), timeoutFor(nextWake()));
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log_);
        continue;
      }
      fold_.flushIfDue(Clock::now());
      state_.saveIfDue(dispatcher_.decider());
      runs_.enforceTimeLimits(Clock::now());
      checkTarget();
      if (pollAt_ && Clock::now() >= *pollAt_)
        pollTree();
      if (ready[1].revents != 0 && takeSignals())
        return 0;
      if (ready[0].revents != 0) {
        readRecords();
      } else {
        quietTurn();
      }
    }
  }

 private:
  static constexpr std::chrono::seconds kTargetCheckEvery{1};

  // Scans the tree, catches up from the saved state and says it is ready.
  void watchTarget() {
    targetCheckAt_.reset();
    if (poll_) {
      startPolling();
      return;
    }
    ScanOptions scan = startupScanOptions(log_, &settings_.dispatch.excludes);
    state_.prepareScan(scan);
    tree_.scan.watchTree(settings_.target, scan);
    {
      LogBatch batch(log_);
      state_.start(dispatcher_.decider());
    }
    if (const std::string trouble = settings_.report->ready(); !trouble.empty())
      writeLog("Can't notify the service manager - " + trouble, log_);
  }

  // Polling: the first scan notes what is there, the files changed since the saved state's
  // horizon (or named in it) to be handed over once the next scan finds them unchanged.
  void startPolling() {
    const std::optional<TreeState>& saved = settings_.savedState;
    if (settings_.stateFile != nullptr && saved) {
      dispatcher_.decider().notePolled(saved->horizon, saved->toLook);
      savedToLook_.insert(saved->toLook.begin(), saved->toLook.end());
    }
    {
      LogBatch batch(log_);
      state_.start(dispatcher_.decider());
    }
    pollTree();
    if (const std::string trouble = settings_.report->ready(); !trouble.empty())
      writeLog("Can't notify the service manager - " + trouble, log_);
  }

  void pollTree() {
    Decider& decider = dispatcher_.decider();
    const std::optional<TreeState>& saved = settings_.savedState;
    const bool catchUp = settings_.stateFile != nullptr && saved.has_value();
    const auto isNew = [&](const std::string& path, const FileStamp& stamp) {
      if (!catchUp || decider.ranAt(path, stamp.changed))
        return false;
      const timespec& since = saved->horizon;
      return stamp.changed.tv_sec > since.tv_sec ||
             (stamp.changed.tv_sec == since.tv_sec && stamp.changed.tv_nsec >= since.tv_nsec) ||
             savedToLook_.contains(path);
    };
    LogBatch batch(log_);
    const auto began = Clock::now();
    const TreePoll::Outcome outcome = poll_->scan(
        [&decider](int directoryFd, const std::string& directory, const std::string& name,
                   const FileStamp&) {
          return decider.handOverPolled(directoryFd, directory, name);
        },
        isNew);
    pollAt_ = Clock::now() + settings_.poll;
    if (!outcome.trouble.empty()) {
      // Said once: a share that stays away would otherwise fill the log at every scan.
      if (!pollTrouble_) {
        writeLog(
            "Target " + escapeForLog(settings_.target) + " cannot be read - " + outcome.trouble,
            log_);
      }
      pollTrouble_ = true;
      return;
    }
    pollTrouble_ = false;
    if (outcome.stable > 0) {
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
      writeLog("Poll found " + std::to_string(outcome.stable) + " changed files in " +
                   std::to_string(outcome.directories) + " directories (" +
                   std::to_string(took.count()) + " ms)",
               log_);
    }
    savedToLook_.clear();
    std::vector<std::string> pending = poll_->pending();
    if (outcome.stable > 0 || !pending.empty())
      state_.noteRecords();
    decider.notePolled(poll_->scannedSince(), std::move(pending));
  }

  // A target missing at the start is looked for once a second.
  void checkTarget() {
    if (!targetCheckAt_ || Clock::now() < *targetCheckAt_)
      return;
    if (!isDirectory(settings_.target)) {
      targetCheckAt_ = Clock::now() + kTargetCheckEvery;
      return;
    }
    writeLog("Target " + escapeForLog(settings_.target) + " appeared - watching it", log_);
    watchTarget();
    status_.write();
  }

  // Every deadline the loop wakes for, in one place: the folded count, the next name to settle,
  // the state to save, the next look for a missing target, the next scan when polling, the
  // metrics file, the next try at starting a run (now, or after a pause when the last start found
  // no room for a process), and the next time limit or retry of a run.
  std::optional<Clock::time_point> nextWake() const {
    std::optional<Clock::time_point> wake;
    for (const std::optional<Clock::time_point>& due :
         {fold_.due(), dispatcher_.decider().nextSettled(), state_.due(), targetCheckAt_, pollAt_,
          status_.due(), runs_.canStart() ? std::optional(retryAt_) : std::nullopt,
          runs_.nextDeadline()}) {
      if (due && (!wake || *due < *wake))
        wake = due;
    }
    return wake;
  }
  static int timeoutFor(std::optional<Clock::time_point> wake) {
    return wake ? millisecondsUntil(*wake, Clock::now()) : -1;
  }

  // True when a signal asks the daemon to stop.
  bool takeSignals() {
    for (int number : signals_.take()) {
      if (number == SIGCHLD) {
        runs_.reapFinished();
        // A run that ended is no longer one to start again after a crash, and a failed one may
        // now wait for a retry: both belong in the saved state.
        state_.noteRecords();
      } else if (number == SIGHUP) {
        reopenLog(*settings_.logFile, log_);
      } else if (number == SIGUSR1) {
        status_.logStatus();
      } else if (number == SIGTERM || number == SIGINT) {
        writeLog("Stop on signal " + std::to_string(number), log_);
        // Runs held back by the job limit or a busy moment end with the daemon.
        if (!runs_.empty())
          writeLog("Handler runs not started - " + std::to_string(runs_.size()), log_);
        // Kept in the state file, when there is one; said either way.
        if (const size_t retries = runs_.pendingRetries().size(); retries > 0)
          writeLog("Handler retries pending - " + std::to_string(retries), log_);
        state_.save(dispatcher_.decider(), true);
        status_.write();
        return true;
      }
    }
    return false;
  }

  void readRecords() {
    // The lines of one read buffer, with the runs and looks they lead to, leave in one write.
    LogBatch batch(log_);
    fold_.wakeUp("poll exit - 1");
    auto [data, count] = tree_.watch.readEvents();
    const InotifyEventIterator end;
    for (InotifyEventIterator record(data, count); record != end; ++record) {
      fold_.record(describeEvent(*record, tree_.watch.registry()));
      status_.noteRecord(*record);
      dispatcher_.dispatch(*record);
    }
    dispatcher_.endOfRecords();
    fold_.endWakeUp();
    state_.noteRecords();
  }

  // Nothing to read: the quiet moment in which names that have settled are decided on and
  // queued handlers start, a few at a time, so that a burst's records are read first.
  void quietTurn() {
    {
      LogBatch batch(log_);
      dispatcher_.decider().releaseSettled(kSettledPerQuietTurn);
    }
    // A write of the metrics file on a busy disk may take long enough for the kernel's queue
    // to overflow in a burst: it too waits for a moment with nothing to read.
    status_.writeIfDue();
    runs_.readErrors();
    releaseRetries();
    if (runs_.canStart() && Clock::now() >= retryAt_ &&
        runs_.startQueued(kStartsPerQuietTurn) == HandlerQueue::Outcome::kRetryLater) {
      retryAt_ = Clock::now() + HandlerQueue::kRetryPause;
    }
  }

  // Failed runs whose time has come join the queue, behind the runs already in it, if their name
  // is still one a run may be handed.
  void releaseRetries() {
    for (const PendingRetry& retry : runs_.takeDueRetries(Clock::now())) {
      if (dispatcher_.decider().mayRunAgain(settings_.target, retry.path)) {
        runs_.requeue(retry.path, retry.nextTry);
      } else {
        writeLog("Handler for " + escapeForLog(retry.path) +
                     " not run again - the name is gone or no longer a file to hand over",
                 log_);
      }
    }
  }

  const LoopSettings& settings_;
  std::ostream* log_;
  // Made first, so that a stop asked for during the start-up scan waits for the loop.
  SignalChannel signals_;
  StateKeeper state_;
  WatchedTree tree_;
  HandlerQueue runs_;
  Dispatcher dispatcher_;
  LogFold fold_;
  StatusKeeper status_;                             // the status line and the metrics file
  Clock::time_point retryAt_;                       // no start is tried before it
  std::optional<Clock::time_point> targetCheckAt_;  // while the target is missing
  std::optional<TreePoll> poll_;                    // with --poll: the tree read, not watched
  std::optional<Clock::time_point> pollAt_;         // the next scan, once polling
  bool pollTrouble_ = false;                        // the last scan could not read the target
  std::unordered_set<std::string> savedToLook_;     // the state's, until a scan has read the tree
};
}  // namespace

int runEventLoop(const LoopSettings& settings) {
  std::ostream* log = settings.logFile->handle();
  try {
    EventLoop loop(settings, log);
    loop.start();
    return loop.run();
  } catch (...) {
  }
  fatal(3, "Unknown error", log,
        [&settings](const std::string& line) { settings.report->failed(3, line); });
}

}  // namespace vellumd
