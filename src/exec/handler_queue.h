// handler_queue.h: the daemon's first-in first-out queue of handler runs, and the runs under way.
//
// Reading the kernel's queue comes before starting handlers: each start costs a process and an
// exec, and a loop that started one for every completion as it read it would let a fast writer
// fill the kernel's queue until records are lost. The dispatch queues each run; the loop starts
// queued runs, a bounded number at a time, only while the inotify descriptor has nothing to read,
// and never more at once than the job limit. The loop reaps finished runs when it learns of
// SIGCHLD; an outcome other than success is logged, and every outcome is counted for the
// operator (RunTally).
// Owns the handler path, the queued paths with the moment each was queued, the PID and path of
// every run under way, and the tally. Single-threaded: the loop is its only user.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <unordered_map>

namespace vellumd {

// What the run queue has done since the daemon started: the counters of its status line and
// metrics. Runs are never tried twice yet; a retry would be counted here, and the runs waiting
// for their next try held here, so that both reach the operator without further plumbing.
struct RunTally {
  uint64_t started = 0;     // taken from the queue to a process, one whose exec failed included
  uint64_t failed = 0;      // ended with a status other than 0, by a signal, or never exec'ed
  uint64_t retried = 0;     // failed and queued again
  size_t waitingRetry = 0;  // failed, and waiting for their next try
};

class HandlerQueue {
 public:
  // How long to wait before trying again when the system has no room for another process.
  static constexpr std::chrono::milliseconds kRetryPause{100};

  enum class Outcome {
    kStarted,     // the runs asked for were started (or the queue ran empty, or the limit is met)
    kRetryLater,  // fork() failed for want of processes or memory; the run stays first in line
  };

  // `log` may be null.
  HandlerQueue(const std::string& handler, std::ostream* log);
  HandlerQueue(const HandlerQueue&) = delete;
  HandlerQueue& operator=(const HandlerQueue&) = delete;
  virtual ~HandlerQueue();  // neither waits for nor signals the runs under way

  // Queues one run of the handler with `path` as its argument.
  void push(const std::string& path);

  // At most `jobs` runs under way at once; 0: no limit (the default).
  void setJobLimit(size_t jobs) { jobLimit_ = jobs; }

  // Starts up to `limit` queued runs, in order, each exactly once, as far as the job limit
  // allows. A fork() that fails with EAGAIN or ENOMEM logs one line and leaves that run queued:
  // kRetryLater. Throws ExecError for any other failure to fork. A handler that cannot be started
  // is logged ("Error: Unknown error", then why) and its run is done.
  Outcome startQueued(size_t limit);

  // Reaps every child that has ended, without waiting, and logs how each run under way ended
  // unless it succeeded ("Handler for PATH exited with status N", "... killed by signal N").
  void reapFinished();

  bool empty() const { return paths_.empty(); }
  // The paths of the runs not started yet, oldest first.
  const std::deque<std::string>& waiting() const { return paths_; }
  size_t size() const { return paths_.size(); }
  size_t running() const { return running_.size(); }
  const RunTally& tally() const { return tally_; }
  // How long the oldest queued run has waited; zero when none waits. Told to a few milliseconds.
  std::chrono::nanoseconds oldestWait() const;
  // True when runs wait and the job limit lets one start.
  bool canStart() const {
    return !paths_.empty() && (jobLimit_ == 0 || running_.size() < jobLimit_);
  }

 private:
  const std::string handler_;
  std::ostream* log_;              // null: nothing is logged
  std::deque<std::string> paths_;  // waiting runs, oldest first
  std::deque<timespec> queuedAt_;  // when each of paths_ was queued (CLOCK_MONOTONIC_COARSE)
  std::unordered_map<pid_t, std::string> running_;  // started and not reaped: PID -> path
  size_t jobLimit_ = 0;                             // 0: no limit
  RunTally tally_;
};

}  // namespace vellumd
