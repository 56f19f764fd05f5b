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

void runEventLoop(const std::string& target, const std::string& handler, std::ostream* log) {
  try {
    InotifyWatch registry(target, DirEntryIterator::DefaultIgnoreList(), kDefaultWatchMask);
    Dispatcher dispatcher(registry, target, handler, log);
    pollfd ready = {registry.fd(), POLLIN, 0};
    for (;;) {
      ready.revents = 0;
      int result = poll(&ready, 1, -1);
      if (result < 0) {
        writeLog("poll return error - " + std::to_string(result) + "!!", log);
        continue;
      }
      writeLog("poll exit - " + std::to_string(result), log);
      auto [data, count] = registry.readEvents();
      const InotifyEventIterator end;
      for (InotifyEventIterator record(data, count); record != end; ++record) {
        writeLog(describeEvent(*record, registry), log);
        dispatcher.dispatch(*record);
      }
      if (dispatcher.awaitsEmptyQueue()) {
        pollfd pending = {registry.fd(), POLLIN, 0};
        if (poll(&pending, 1, 0) == 0) dispatcher.queueEmptied();
      }
    }
  } catch (...) {
    // A handler's child that fails before its exec unwinds its copy of this loop to here too.
  }
  fatal(3, "Unknown error", log);
}

}  // namespace vellumd
