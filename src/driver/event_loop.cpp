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

#include "driver/daemon_status.h"
#include "driver/dispatch.h"
#include "driver/signal_channel.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "log/log_fold.h"
#include "watch/dir_scan.h"
#include "watch/inotify_watch.h"
#include "watch/state_file.h"

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

// Keeps the state file, when there is one: saved at most about once a second while records
// arrive, and at an orderly stop. A file that cannot be written is reported once, and the daemon
// goes on without it. Owns the StateFile.
class StateKeeper {
 public:
  static constexpr std::chrono::seconds kSaveEvery{1};

  StateKeeper(const std::string& path, std::ostream* log) : log_(log) {
    if (!path.empty())
      file_.emplace(path);
  }

  // Reads the saved state, before the start-up scan: the scan then notes the files changed since
  // its horizon, so that the tree is read once. Nothing without a state file, or a first start.
  void load(ScanOptions& scan) {
    if (!file_)
      return;
    std::string error;
    saved_ = file_->load(error);
    if (saved_) {
      scan.changedSince = saved_->horizon;
      scan.changedFiles = &changed_;
    } else if (!error.empty()) {
      writeLog("State file " + escapeForLog(file_->path()) + " " + error + " - nothing caught up",
               log_);
    }
  }
  // Catches the dispatcher up with what changed since the saved state, then saves at once, so
  // that a first start creates the file.
  void start(Dispatcher& dispatcher) {
    if (!file_)
      return;
    if (saved_)
      dispatcher.catchUp(*saved_, changed_);
    saved_.reset();
    changed_ = {};
    save(dispatcher);
  }
  void noteRecords() { unsaved_ = file_.has_value(); }
  std::optional<Clock::time_point> due() const {
    return unsaved_ ? std::optional(savedAt_ + kSaveEvery) : std::nullopt;
  }
  void saveIfDue(const Dispatcher& dispatcher) {
    if (unsaved_ && Clock::now() >= savedAt_ + kSaveEvery)
      save(dispatcher);
  }
  void save(const Dispatcher& dispatcher) {
    if (!file_)
      return;
    std::string error;
    if (!file_->save(dispatcher.snapshot(), error)) {
      writeLog("State file " + escapeForLog(file_->path()) + " " + error + " - going on without it",
               log_);
      file_.reset();
    }
    unsaved_ = false;
    savedAt_ = Clock::now();
  }

 private:
  std::ostream* log_;
  std::optional<StateFile> file_;  // none: no state kept
  std::optional<TreeState> saved_;                     // loaded, until caught up
  std::vector<std::pair<int, std::string>> changed_;  // found changed by the start-up scan
  bool unsaved_ = false;           // records arrived since the last save
  Clock::time_point savedAt_;
};

// How long poll() may wait: for ever when nothing is due; not at all when a run may start;
// until the next try when the last start found no room for a process; at most until a folded
// count must be written, a name has settled or the state is to be saved.
int pollTimeout(const HandlerQueue& runs, Clock::time_point retryAt,
                std::initializer_list<std::optional<Clock::time_point>> deadlines) {
  const Clock::time_point now = Clock::now();
  int timeout = runs.canStart() ? millisecondsUntil(retryAt, now) : -1;
  for (const std::optional<Clock::time_point>& due : deadlines) {
    if (!due)
      continue;
    const int untilDue = millisecondsUntil(*due, now);
    timeout = timeout < 0 ? untilDue : std::min(timeout, untilDue);
  }
  return timeout;
}

// SIGHUP: the log file is opened again by its path, for a rotation that renamed it.
void reopenLog(LogFile& logFile, std::ostream* log) {
  if (const int error = logFile.reopen()) {
    writeLog("Can't reopen log file " + escapeForLog(logFile.path()) + " - " + strerror(error) +
                 " - logging on to the earlier file",
             log);
  }
}
}  // namespace

int runEventLoop(const LoopSettings& settings) {
  std::ostream* log = settings.logFile->handle();
  try {
    SignalChannel signals;
    StateKeeper state(settings.statePath, log);
    StatusKeeper status(settings.metricsPath, log);
    ScanOptions scan = startupScanOptions(log, &settings.dispatch.excludes);
    state.load(scan);
    InotifyWatch registry(settings.target, DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask,
                          scan);
    // Opened by the registry without close-on-exec: handlers have no use for it.
    fcntl(registry.fd(), F_SETFD, FD_CLOEXEC);
    Dispatcher dispatcher(registry, settings.target, settings.handler, log, settings.dispatch);
    HandlerQueue& runs = dispatcher.runs();
    runs.setJobLimit(settings.jobs);
    LogFold fold(log);
    {
      LogBatch batch(log);
      state.start(dispatcher);
    }
    status.start(registry, runs);
    if (const std::string trouble = settings.report->ready(); !trouble.empty())
      writeLog("Can't notify the service manager - " + trouble, log);

    pollfd ready[2] = {{registry.fd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    Clock::time_point retryAt;  // no start is tried before it
    for (;;) {
      ready[0].revents = ready[1].revents = 0;
      const int result =
          poll(ready, 2,
               pollTimeout(runs, retryAt,
                           {fold.due(), dispatcher.nextSettled(), state.due(), status.due()}));
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log);
        continue;
      }
      fold.flushIfDue(Clock::now());
      state.saveIfDue(dispatcher);
      if (ready[1].revents != 0) {
        for (int number : signals.take()) {
          if (number == SIGCHLD) {
            runs.reapFinished();
          } else if (number == SIGHUP) {
            reopenLog(*settings.logFile, log);
          } else if (number == SIGUSR1) {
            status.logStatus();
          } else if (number == SIGTERM || number == SIGINT) {
            writeLog("Stop on signal " + std::to_string(number), log);
            // Runs held back by the job limit or a busy moment end with the daemon.
            if (!runs.empty())
              writeLog("Handler runs not started - " + std::to_string(runs.size()), log);
            state.save(dispatcher);
            status.write();
            return 0;
          }
        }
      }
      if (ready[0].revents != 0) {
        // The lines of one read buffer, with the runs and looks they lead to, leave in one write.
        LogBatch batch(log);
        fold.wakeUp("poll exit - 1");
        auto [data, count] = registry.readEvents();
        const InotifyEventIterator end;
        for (InotifyEventIterator record(data, count); record != end; ++record) {
          fold.record(describeEvent(*record, registry));
          status.noteRecord(*record);
          dispatcher.dispatch(*record);
        }
        dispatcher.endOfRecords();
        fold.endWakeUp();
        state.noteRecords();
        continue;
      }
      // Nothing to read: the quiet moment in which names that have settled are decided on and
      // queued handlers start, a few at a time, so that a burst's records are read first.
      {
        LogBatch batch(log);
        dispatcher.releaseSettled(kSettledPerQuietTurn);
      }
      // A write of the metrics file on a busy disk may take long enough for the kernel's queue
      // to overflow in a burst: it too waits for a moment with nothing to read.
      status.writeIfDue();
      if (runs.canStart() && Clock::now() >= retryAt &&
          runs.startQueued(kStartsPerQuietTurn) == HandlerQueue::Outcome::kRetryLater) {
        retryAt = Clock::now() + HandlerQueue::kRetryPause;
      }
    }
  } catch (...) {
  }
  fatal(3, "Unknown error", log,
        [&settings](const std::string& line) { settings.report->failed(3, line); });
}

}  // namespace vellumd
