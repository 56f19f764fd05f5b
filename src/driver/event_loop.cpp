// event_loop.cpp: poll, read, describe, dispatch, start queued handlers, act on signals; and the
// one place errors become an exit.
#include "driver/event_loop.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "driver/dispatch.h"
#include "driver/signal_channel.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "log/log_fold.h"
#include "watch/dir_scan.h"
#include "watch/inotify_watch.h"

namespace vellumd {

namespace {
using Clock = std::chrono::steady_clock;

// Handler starts between two looks at the inotify descriptor: enough to keep forking cheap per
// look, few enough that a new burst of records is read within a few milliseconds.
constexpr size_t kStartsPerQuietTurn = 16;

int millisecondsUntil(Clock::time_point when, Clock::time_point now) {
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now);
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
}

// How long poll() may wait: for ever when nothing is due; not at all when a run may start;
// until the next try when the last start found no room for a process; at most until a folded
// count must be written.
int pollTimeout(const HandlerQueue& runs, Clock::time_point retryAt, const LogFold& fold) {
  const Clock::time_point now = Clock::now();
  int timeout = runs.canStart() ? millisecondsUntil(retryAt, now) : -1;
  if (const std::optional<Clock::time_point> due = fold.due()) {
    const int untilDue = millisecondsUntil(*due, now);
    timeout = timeout < 0 ? untilDue : std::min(timeout, untilDue);
  }
  return timeout;
}

// The one place where the daemon's state is to be kept before it stops on a signal: what it
// remembers about the tree lives in the registry. Nothing is kept yet.
void saveStateBeforeStop(const InotifyWatch& registry) {
  (void)registry;
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
    ScanOptions startup;
    startup.onSkipped = [log](const std::string& path, int error) {
      logUnwatchable(path, error, log);
    };
    InotifyWatch registry(settings.target, DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask,
                          startup);
    // Opened by the registry without close-on-exec: handlers have no use for it.
    fcntl(registry.fd(), F_SETFD, FD_CLOEXEC);
    Dispatcher dispatcher(registry, settings.target, settings.handler, log);
    HandlerQueue& runs = dispatcher.runs();
    runs.setJobLimit(settings.jobs);
    LogFold fold(log);
    if (const std::string trouble = settings.report->ready(); !trouble.empty())
      writeLog("Can't notify the service manager - " + trouble, log);

    pollfd ready[2] = {{registry.fd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    Clock::time_point retryAt;  // no start is tried before it
    for (;;) {
      ready[0].revents = ready[1].revents = 0;
      const int result = poll(ready, 2, pollTimeout(runs, retryAt, fold));
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log);
        continue;
      }
      fold.flushIfDue(Clock::now());
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
            saveStateBeforeStop(registry);
            return 0;
          }
        }
      }
      if (ready[0].revents != 0) {
        fold.wakeUp("poll exit - 1");
        auto [data, count] = registry.readEvents();
        const InotifyEventIterator end;
        for (InotifyEventIterator record(data, count); record != end; ++record) {
          fold.record(describeEvent(*record, registry));
          dispatcher.dispatch(*record);
        }
        fold.endWakeUp();
        continue;
      }
      // Nothing to read: the quiet moment in which queued handlers start.
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
