// dispatch.cpp: the daemon's policy for every record it reads.
#include "driver/dispatch.h"

#include <cstring>

#include "events/inotify_event_iterator.h"
#include "exec/cmd_exec.h"
#include "log/log.h"

namespace vellumd {

namespace {
// A file counts as written once it was created or modified while watched.
constexpr uint32_t kWrittenBits = IN_MODIFY | IN_CREATE;
}  // namespace

void callHandler(const std::string& handler, const std::string& path, std::ostream* log) {
  writeLog("Call handler " + escapeForLog(handler) + " with argument: " + escapeForLog(path), log);
  const char* const argv[] = {handler.c_str(), path.c_str(), nullptr};
  CmdExec command(handler, argv);
  command.run(nullptr, nullptr, nullptr);
}

Dispatcher::Dispatcher(InotifyWatch& registry, const std::string& target,
                       const std::string& handler, std::ostream* log)
    : registry_(registry), target_(target), handler_(handler), log_(log) {}

Dispatcher::~Dispatcher() = default;

void Dispatcher::dispatch(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    rescanTree();
    return;
  }
  if (event.mask & IN_IGNORED) {
    // The kernel dropped the watch (directory deleted, or watch removed): this is its last record.
    registry_.forgetWatch(event.wd);
    return;
  }
  // Records of a directory that has left the tree concern nothing the daemon watches, including
  // those the kernel queued before its watch was removed.
  if (registry_.isDeparted(event.wd)) return;
  if ((event.mask & IN_MOVE_SELF) && registry_.hasUnmatchedDeparture(event.wd)) {
    // Its IN_MOVED_FROM was seen and no IN_MOVED_TO matched it before this: it moved out.
    registry_.detachSubtree(event.wd);
    return;
  }
  const std::string name = eventName(event);
  if (event.mask & IN_ISDIR) {
    dispatchDirectory(event, name);
  } else {
    dispatchFile(event, name);
  }
}

void Dispatcher::dispatchDirectory(const inotify_event& event, const std::string& name) {
  if (event.mask & IN_CREATE) watchArrival(event.wd, name);
  if (event.mask & IN_DELETE_SELF) registry_.removeChild(event.wd, name);
  if (event.mask & IN_MOVED_FROM) registry_.recordMoveFrom(event.wd, name, event.cookie);
  if (event.mask & IN_MOVED_TO) {
    if (!registry_.completeMoveTo(event.wd, name, event.cookie)) {
      // Not a directory of the tree that moved: it came from outside.
      watchArrival(event.wd, name);
    }
    callHandler(handler_, joinPath(registry_.pathOf(event.wd), name), log_);
  }
}

void Dispatcher::dispatchFile(const inotify_event& event, const std::string& name) {
  if (event.mask & kWrittenBits) registry_.notePending(event.wd, name, event.mask);
  if (event.mask & IN_MOVED_TO) {
    callHandler(handler_, joinPath(registry_.pathOf(event.wd), name), log_);
  }
  if ((event.mask & IN_CLOSE_WRITE) && (registry_.pendingMask(event.wd, name) & kWrittenBits)) {
    registry_.clearPending(event.wd, name);
    callHandler(handler_, joinPath(registry_.pathOf(event.wd), name), log_);
  }
}

ScanOptions Dispatcher::runtimeScanOptions() {
  ScanOptions options;
  options.skipUnreadable = true;
  options.onSkipped = [this](const std::string& path, int error) {
    writeLog("Can't watch directory " + escapeForLog(path) + " - " + strerror(error), log_);
  };
  return options;
}

void Dispatcher::watchArrival(int parent, const std::string& name) {
  registry_.watchSubtree(parent, name, runtimeScanOptions());
}

void Dispatcher::rescanTree() {
  registry_.watchTree(target_, registry_.ignoreList(), runtimeScanOptions());
}

}  // namespace vellumd
