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

#include "driver/dispatch.h"
#include "driver/signal_channel.h"
#include "driver/state_keeper.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "log/log_fold.h"
#include "watch/dir_scan.h"
#include "watch/state_file.h"
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
  if (const std::string why = logFile.reopen(); !why.empty()) {
    writeLog("Can't reopen log file " + escapeForLog(logFile.path()) + " - " + why +
                 " - logging on to the earlier file",
             log);
  }
}
}  // namespace

int runEventLoop(const LoopSettings& settings) {
  std::ostream* log = settings.logFile->handle();
  try {
    SignalChannel signals;
    StateKeeper state(settings.stateFile, log);
    ScanOptions scan = startupScanOptions(log, &settings.dispatch.excludes);
    state.load(scan);
    WatchedTree tree(DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask);
    tree.scan.watchTree(settings.target, scan);
    HandlerQueue runs(settings.handler, log);
    runs.setJobLimit(settings.jobs);
    Dispatcher dispatcher(tree, runs, settings.target, settings.handler, log, settings.dispatch);
    LogFold fold(log);
    {
      LogBatch batch(log);
      state.start(dispatcher.decider());
    }
    if (const std::string trouble = settings.report->ready(); !trouble.empty())
      writeLog("Can't notify the service manager - " + trouble, log);

    pollfd ready[2] = {{tree.watch.fd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    Clock::time_point retryAt;  // no start is tried before it
    for (;;) {
      ready[0].revents = ready[1].revents = 0;
      const int result =
          poll(ready, 2,
               pollTimeout(runs, retryAt,
                           {fold.due(), dispatcher.decider().nextSettled(), state.due()}));
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log);
        continue;
      }
      fold.flushIfDue(Clock::now());
      state.saveIfDue(dispatcher.decider());
      if (ready[1].revents != 0) {
        for (int number : signals.take()) {
          if (number == SIGCHLD) {
            runs.reapFinished();
          } else if (number == SIGHUP) {
            reopenLog(*settings.logFile, log);
          } else if (number == SIGTERM || number == SIGINT) {
            writeLog("Stop on signal " + std::to_string(number), log);
            // Runs held back by the job limit or a busy moment end with the daemon.
            if (!runs.empty())
              writeLog("Handler runs not started - " + std::to_string(runs.size()), log);
            state.save(dispatcher.decider());
            return 0;
          }
        }
      }
      if (ready[0].revents != 0) {
        // The lines of one read buffer, with the runs and looks they lead to, leave in one write.
        LogBatch batch(log);
        fold.wakeUp("poll exit - 1");
        auto [data, count] = tree.watch.readEvents();
        const InotifyEventIterator end;
        for (InotifyEventIterator record(data, count); record != end; ++record) {
          fold.record(describeEvent(*record, tree.watch.registry()));
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
        dispatcher.decider().releaseSettled(kSettledPerQuietTurn);
      }
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
