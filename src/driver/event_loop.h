// event_loop.h: the daemon's life once started. Builds the registry over the target, reports
// that it is ready, then waits in poll() on the inotify descriptor and the signal descriptor: logs
// every wake-up and every record (folding a flood of one repeated record), dispatches each record,
// starts queued handlers when no record waits, reaps them, and acts on signals. With --poll it
// places no watch: it reads the whole tree at each interval instead (TreePoll).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "driver/dispatch.h"
#include "driver/service.h"
#include "log/log_file.h"
#include "watch/state_file.h"

namespace vellumd {

// Every directory is watched for these: IN_MODIFY, IN_ATTRIB, IN_CLOSE_WRITE, IN_MOVED_FROM,
// IN_MOVED_TO, IN_CREATE, IN_DELETE, IN_DELETE_SELF and IN_MOVE_SELF.
inline constexpr uint32_t kDefaultWatchMask = 4046;

// What the loop is given by the entry function, which owns it all.
struct LoopSettings {
  std::string target;
  std::string handler;
  size_t jobs = 0;                      // most handlers at once; 0: no limit
  RunPolicy runPolicy;                  // time limit, retries, error lines
  StateFile* stateFile = nullptr;       // null: no state kept
  std::optional<TreeState> savedState;  // what stateFile held at start-up; nothing at a first start
  DispatchOptions dispatch;             // settle time and excluded names
  LogFile* logFile = nullptr;           // reopened on SIGHUP; its handle may be null (no log)
  ReadyReport* report = nullptr;        // told once the start-up scan is done, or that it failed
  std::string metricsPath;              // the metrics file; empty: none
  std::chrono::milliseconds poll{0};    // how often the tree is read instead of watched; 0: never
};

// Returns 0 after SIGTERM or SIGINT ("Stop on signal N"); handlers under way run on. Any
// exception of the registry, the reading or the dispatch ends the process through its single
// catch-all: "Error: Unknown error", status 3, also reported to whoever waits for the start.
int runEventLoop(const LoopSettings& settings);

}  // namespace vellumd
