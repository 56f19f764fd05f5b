// event_loop.cpp: poll, read, describe, dispatch; and the one place errors become an exit.
#include "driver/event_loop.h"

#include <poll.h>

#include "driver/dispatch.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "log/log.h"
#include "watch/dir_scan.h"
#include "watch/inotify_watch.h"

namespace vellumd {

namespace {
// Handler starts between two looks at the inotify descriptor: enough to keep forking cheap per
// look, few enough that a new burst of records is read within a few milliseconds.
constexpr size_t kStartsPerQuietTurn = 16;
}  // namespace

void runEventLoop(const std::string& target, const std::string& handler, std::ostream* log) {
  try {
    InotifyWatch registry(target, DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask);
    Dispatcher dispatcher(registry, target, handler, log);
    pollfd ready = {registry.fd(), POLLIN, 0};
    bool retryPause = false;  // the last start found no room for a process
    for (;;) {
      // With handler runs waiting, poll() only looks; otherwise it waits for records.
      const int timeout = dispatcher.runs().empty() ? -1
                          : retryPause ? static_cast<int>(HandlerQueue::kRetryPause.count())
                                       : 0;
      ready.revents = 0;
      int result = poll(&ready, 1, timeout);
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log);
        continue;
      }
      if (result == 0) {
        retryPause = dispatcher.runs().startQueued(kStartsPerQuietTurn) ==
                     HandlerQueue::Outcome::kRetryLater;
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
