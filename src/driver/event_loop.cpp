// event_loop.cpp: poll, read, describe, dispatch, start queued handlers; and the one place
// errors become an exit.
#include "driver/event_loop.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "driver/dispatch.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "watch/dir_scan.h"
#include "watch/inotify_watch.h"

namespace vellumd {

namespace {
using Clock = std::chrono::steady_clock;

// Handler starts between two looks at the inotify descriptor: enough to keep forking cheap per
// look, few enough that a new burst of records is read within a few milliseconds.
constexpr size_t kStartsPerQuietTurn = 16;

// How long poll() may wait: for ever with no run waiting; not at all when runs wait; until the
// next try when the last start found no room for a process.
int pollTimeout(const HandlerQueue& runs, Clock::time_point retryAt) {
  if (runs.empty())
    return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(retryAt - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
}
}  // namespace

void runEventLoop(const std::string& target, const std::string& handler, std::ostream* log) {
  try {
    ScanOptions startup;
    startup.onSkipped = [log](const std::string& path, int error) {
      logUnwatchable(path, error, log);
    };
    InotifyWatch registry(target, DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask,
                          startup);
    Dispatcher dispatcher(registry, target, handler, log);
    pollfd ready = {registry.fd(), POLLIN, 0};
    Clock::time_point retryAt;  // no start is tried before it
    for (;;) {
      ready.revents = 0;
      int result = poll(&ready, 1, pollTimeout(dispatcher.runs(), retryAt));
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log);
        continue;
      }
      if (result == 0) {
        // Nothing to read: the quiet moment in which queued handlers start.
        if (dispatcher.runs().startQueued(kStartsPerQuietTurn) ==
            HandlerQueue::Outcome::kRetryLater) {
          retryAt = Clock::now() + HandlerQueue::kRetryPause;
        }
        continue;
      }
      writeLog("poll exit - " + std::to_string(result), log);
      auto [data, count] = registry.readEvents();
      const InotifyEventIterator end;
      for (InotifyEventIterator record(data, count); record != end; ++record) {
        writeLog(describeEvent(*record, registry), log);
        dispatcher.dispatch(*record);
      }
    }
  } catch (...) {
    // A handler's child that fails before its exec unwinds its copy of this loop to here too.
  }
  fatal(3, "Unknown error", log);
}

}  // namespace vellumd
