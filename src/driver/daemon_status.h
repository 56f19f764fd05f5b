// daemon_status.h: where the daemon stands, told to an operator: one status line in the log on
// SIGUSR1, and with --metrics a file in the Prometheus text format (0.0.4) for node_exporter's
// textfile collector.
//
// StatusKeeper counts the records read and the overflows among them; the other figures it reads
// from the registry and the run queue when asked, so that neither keeps a count for it. It owns
// the MetricsFile, if any, and writes it at start, at most once a second while a figure moves
// (an age keeps moving while a run waits), and at an orderly stop. The loop asks for the
// periodic writes only when no record waits to be read. Single-threaded: the event loop is its
// only user.
#pragma once

#include <sys/inotify.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "driver/metrics_file.h"
#include "exec/handler_queue.h"
#include "watch/inotify_watch.h"

namespace vellumd {

// The figures at one moment.
struct StatusFigures {
  size_t watchedDirectories = 0;
  size_t runsQueued = 0;
  size_t runsRunning = 0;
  RunTally runs;
  uint64_t records = 0;            // inotify records read since the start
  uint64_t overflows = 0;          // IN_Q_OVERFLOW records among them
  double oldestQueuedSeconds = 0;  // 0 when no run waits
  double startTimeSeconds = 0;     // Unix time
};

// "Status: W directories watched, Q runs queued, R running, T waiting to retry, S started,
// F failed, O overflows"
std::string statusLine(const StatusFigures& figures);
// The metrics file's content: every figure with its HELP and TYPE lines, no timestamps.
std::string metricsText(const StatusFigures& figures);

class StatusKeeper {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kWriteEvery{1};

  // Takes the start time. `metricsPath` empty: no metrics file. `log` may be null.
  StatusKeeper(const std::string& metricsPath, std::ostream* log);
  StatusKeeper(const StatusKeeper&) = delete;
  StatusKeeper& operator=(const StatusKeeper&) = delete;
  virtual ~StatusKeeper();

  // From now on the figures come from `registry` and `runs`; writes the metrics file.
  // REQUIRES: both outlive the keeper.
  void start(const InotifyWatch& registry, const HandlerQueue& runs);

  // Counts one record read. On the path of every record: two additions, no call.
  void noteRecord(const inotify_event& event) {
    ++records_;
    overflows_ += (event.mask & IN_Q_OVERFLOW) != 0;
  }

  // SIGUSR1: logs the status line.
  void logStatus() const;

  // When the metrics file is next to be written; nothing while no figure moves.
  std::optional<Clock::time_point> due() const;
  void writeIfDue();
  // Writes the metrics file now (at an orderly stop). A write that fails logs one line
  // ("Can't write metrics file PATH - REASON - trying again at the next change"), and further
  // failures none until a write succeeds.
  void write();

  // REQUIRES: start() was called.
  StatusFigures figures() const;

 private:
  // The figures whose change calls for a new write; the watched directories change only with
  // records. Read in constant time, at every turn of the loop.
  struct Marks {
    uint64_t records = 0;
    uint64_t started = 0;
    uint64_t failed = 0;
    size_t queued = 0;
    size_t running = 0;
    bool operator==(const Marks&) const = default;
  };
  Marks marks() const;
  bool moved() const;  // a figure moved since the last write, or a run waits and ages

  std::ostream* log_;                       // null: nothing is logged
  std::optional<MetricsFile> file_;         // none: no metrics file
  const InotifyWatch* registry_ = nullptr;  // set by start()
  const HandlerQueue* runs_ = nullptr;      // set by start()
  double startTimeSeconds_;  // Unix time of the keeper's making, before the start-up scan
  uint64_t records_ = 0;
  uint64_t overflows_ = 0;
  Marks written_;  // as of the last write, or the last one tried
  Clock::time_point writtenAt_;
  bool failing_ = false;  // the last write failed and said so
};

}  // namespace vellumd
