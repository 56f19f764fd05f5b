// daemon_status.cpp: the status line, the metrics text, and when the metrics file is written.
#include "driver/daemon_status.h"

#include <cinttypes>
#include <cstdio>

#include "log/log.h"

namespace vellumd {

namespace {

// The directories the registry watches: its entries less the queue marks and the directories
// gone from the tree whose watches the kernel has not yet dropped. One walk of the entries, made
// on request and for a metrics write, never per record.
size_t watchedDirectories(const InotifyWatch& registry) {
  size_t count = 0;
  for (const auto& [wd, entry] : registry.entries())
    count += !entry.departed;
  return count;
}

void addMetric(std::string& text, const char* name, const char* type, const char* help,
               const std::string& value) {
  text += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' +
          name + ' ' + value + '\n';
}

std::string whole(uint64_t value) {
  return std::to_string(value);
}

std::string seconds(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string statusLine(const StatusFigures& f) {
  return "Status: " + whole(f.watchedDirectories) + " directories watched, " + whole(f.runsQueued) +
         " runs queued, " + whole(f.runsRunning) + " running, " + whole(f.runs.waitingRetry) +
         " waiting to retry, " + whole(f.runs.started) + " started, " + whole(f.runs.failed) +
         " failed, " + whole(f.overflows) + " overflows";
}

std::string metricsText(const StatusFigures& f) {
  std::string text;
  addMetric(text, "vellumd_watched_directories", "gauge", "Directories of the tree watched.",
            whole(f.watchedDirectories));
  addMetric(text, "vellumd_runs_queued", "gauge", "Handler runs decided on and waiting to start.",
            whole(f.runsQueued));
  addMetric(text, "vellumd_runs_running", "gauge", "Handler runs started and not ended.",
            whole(f.runsRunning));
  addMetric(text, "vellumd_runs_waiting_retry", "gauge",
            "Failed handler runs waiting to be tried again.", whole(f.runs.waitingRetry));
  addMetric(text, "vellumd_runs_started_total", "counter", "Handler runs started.",
            whole(f.runs.started));
  addMetric(text, "vellumd_runs_failed_total", "counter",
            "Handler runs that exited with a status other than 0, were killed by a signal or "
            "could not be started.",
            whole(f.runs.failed));
  addMetric(text, "vellumd_runs_retried_total", "counter",
            "Handler runs tried again after a failure.", whole(f.runs.retried));
  addMetric(text, "vellumd_records_total", "counter", "Inotify records read from the kernel.",
            whole(f.records));
  addMetric(text, "vellumd_queue_overflows_total", "counter",
            "Overflows of the kernel's inotify queue, each followed by a rescan of the tree.",
            whole(f.overflows));
  addMetric(text, "vellumd_oldest_queued_run_seconds", "gauge",
            "How long the oldest queued handler run has waited to start; 0 when none waits.",
            seconds(f.oldestQueuedSeconds));
  addMetric(text, "vellumd_start_time_seconds", "gauge",
            "Start time of the daemon since the Unix epoch in seconds.",
            seconds(f.startTimeSeconds));
  return text;
}

StatusKeeper::StatusKeeper(const std::string& metricsPath, std::ostream* log)
    : log_(log),
      startTimeSeconds_(
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count()) {
  if (!metricsPath.empty())
    file_.emplace(metricsPath);
}

StatusKeeper::~StatusKeeper() = default;

void StatusKeeper::start(const InotifyWatch& registry, const HandlerQueue& runs) {
  registry_ = &registry;
  runs_ = &runs;
  write();
}

StatusFigures StatusKeeper::figures() const {
  StatusFigures f;
  f.watchedDirectories = watchedDirectories(*registry_);
  f.runsQueued = runs_->size();
  f.runsRunning = runs_->running();
  f.runs = runs_->tally();
  f.records = records_;
  f.overflows = overflows_;
  f.oldestQueuedSeconds = std::chrono::duration<double>(runs_->oldestWait()).count();
  f.startTimeSeconds = startTimeSeconds_;
  return f;
}

void StatusKeeper::logStatus() const {
  writeLog(statusLine(figures()), log_);
}

StatusKeeper::Marks StatusKeeper::marks() const {
  return {records_, runs_->tally().started, runs_->tally().failed, runs_->size(), runs_->running()};
}

bool StatusKeeper::moved() const {
  return runs_->size() > 0 || marks() != written_;
}

std::optional<StatusKeeper::Clock::time_point> StatusKeeper::due() const {
  if (!file_ || !moved())
    return std::nullopt;
  return writtenAt_ + kWriteEvery;
}

void StatusKeeper::writeIfDue() {
  if (file_ && Clock::now() >= writtenAt_ + kWriteEvery && moved())
    write();
}

void StatusKeeper::write() {
  if (!file_)
    return;
  written_ = marks();
  writtenAt_ = Clock::now();
  const std::string error = file_->replace(metricsText(figures()));
  if (!error.empty() && !failing_) {
    writeLog("Can't write metrics file " + escapeForLog(file_->path()) + " - " + error +
                 " - trying again at the next change",
             log_);
  }
  failing_ = !error.empty();
}

}  // namespace vellumd
