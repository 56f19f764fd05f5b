// handler_queue.h: the daemon's first-in first-out queue of handler runs, and the runs under way.
//
// Reading the kernel's queue comes before starting handlers: each start costs a process and an
// exec, and a loop that started one for every completion as it read it would let a fast writer
// fill the kernel's queue until records are lost. The dispatch queues each run; the loop starts
// queued runs, a bounded number at a time, only while the inotify descriptor has nothing to read,
// and never more at once than the job limit. The loop reaps finished runs when it learns of
// SIGCHLD; an outcome other than success is logged, and every outcome is counted for the
// operator (RunTally). A run may have a time limit; a failed run may be tried again later
// (RunPolicy), and the tail of what it wrote on its standard error is logged with its failure.
// Owns the handler path, the queued paths with the moment each was queued, every run under way
// (its PID, which is also its process group, its path, its deadline and the read end of its
// error pipe), the failed runs waiting for their next try, and the tally. Single-threaded: the
// loop is its only user.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/descriptor.h"

namespace vellumd {

// What the run queue has done since the daemon started: the counters of its status line and
// metrics.
struct RunTally {
  uint64_t started = 0;     // taken from the queue to a process, one whose exec failed included
  uint64_t failed = 0;      // ended with a status other than 0, by a signal, or never exec'ed
  uint64_t retried = 0;     // failed and queued again
  size_t waitingRetry = 0;  // failed, and waiting for their next try
};

// How runs are limited and tried again; the defaults are a single try with no limit.
struct RunPolicy {
  std::chrono::seconds timeout{0};             // a run lasting longer is stopped; 0: no limit
  unsigned retries = 0;                        // further tries after a failure
  std::chrono::milliseconds retryDelay{1000};  // before the first retry; doubled for each later
  unsigned errorLines = 0;  // the last lines of standard error logged with a failure; 0: none
};

// A failed run waiting for its next try, as the state file keeps it.
struct PendingRetry {
  std::string path;
  unsigned nextTry;                           // 2 for the first retry
  std::chrono::steady_clock::time_point due;  // when it may join the queue
};

class HandlerQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Between the SIGTERM to a run's group at its time limit and the SIGKILL.
  static constexpr std::chrono::seconds kKillGrace{5};
  // The longest wait before a retry, however many tries failed.
  static constexpr std::chrono::milliseconds kMaxRetryDelay{3600000};
  // A handler that exits with this status (EX_DATAERR: the input was bad) is not tried again.
  static constexpr int kNoRetryStatus = 65;
  // The most bytes of a run's standard error kept: its tail.
  static constexpr size_t kErrorTailBytes = 4096;

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
  void setPolicy(const RunPolicy& policy) { policy_ = policy; }
  const RunPolicy& policy() const { return policy_; }

  // Starts up to `limit` queued runs, in order, each exactly once, as far as the job limit
  // allows. A fork() that fails with EAGAIN or ENOMEM logs one line and leaves that run queued:
  // kRetryLater. Throws ExecError for any other failure to fork. A handler that cannot be started
  // is logged ("Error: Unknown error", then why) and its run is done.
  Outcome startQueued(size_t limit);

  // Reaps every child that has ended, without waiting, and logs how each run under way ended
  // unless it succeeded ("Handler for PATH exited with status N", "... killed by signal N").
  // A failed run is logged with the tail of its standard error (RunPolicy::errorLines), and
  // waits for its next try while it has tries left.
  void reapFinished();

  // When the next time limit, grace period or retry falls due; nothing when none waits.
  std::optional<Clock::time_point> nextDeadline() const;
  // Stops the runs past their time limit (SIGTERM to the group, logged), and kills the groups
  // that outlived their grace period (SIGKILL).
  void enforceTimeLimits(Clock::time_point now);
  // The retries due by `now`, taken out of waiting; the caller checks each name and requeue()s
  // the ones that may still run.
  std::vector<PendingRetry> takeDueRetries(Clock::time_point now);
  // Queues the try `nextTry` of a run of `path`, behind the runs queued already.
  void requeue(const std::string& path, unsigned nextTry);
  // A retry saved by an earlier daemon, due at `due`.
  void restoreRetry(const PendingRetry& retry);
  // The retries waiting, and the retries queued but not started, as saved in the state file.
  std::vector<PendingRetry> pendingRetries() const;

  // The read ends of the error pipes of the runs under way, to be polled. Empty unless
  // RunPolicy::errorLines is set.
  void addErrorPipes(std::vector<pollfd>& fds) const;
  // Reads what the runs under way wrote on their standard error, a bounded amount each, keeping
  // only each one's tail.
  void readErrors();

  bool empty() const { return paths_.empty(); }
  // The paths of the runs not started yet, oldest first.
  const std::deque<std::string>& waiting() const { return paths_; }
  // The paths of the runs under way.
  std::vector<std::string> runningPaths() const;
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
  struct Running {
    std::string path;
    unsigned tryNumber = 1;
    std::optional<Clock::time_point> deadline;  // in deadlines_ under this run's PID
    bool stopping = false;                      // sent SIGTERM at its time limit
    Descriptor errors;                          // the error pipe's read end; -1: none
    std::string errorTail;                      // the last kErrorTailBytes read from it
  };
  using RetryMap = std::multimap<Clock::time_point, std::pair<std::string, unsigned>>;

  // A run of `path`, its try `tryNumber`, failed: logs the tail of its standard error, then
  // makes it wait for its next try, or gives up. `final`: the handler said not to try again.
  void failed(const std::string& path, unsigned tryNumber, bool final, const std::string& tail);
  void addRetry(const std::string& path, unsigned nextTry, Clock::time_point due);
  void dropRetry(const std::string& path);
  // Reads from `run`'s pipe until it is empty or `budget` bytes were read; false at its end.
  static bool drainErrors(Running& run, size_t budget);

  const std::string handler_;
  std::ostream* log_;  // null: nothing is logged
  RunPolicy policy_;
  std::deque<std::string> paths_;  // waiting runs, oldest first
  std::deque<timespec> queuedAt_;  // when each of paths_ was queued (CLOCK_MONOTONIC_COARSE)
  std::deque<unsigned> tries_;     // which try of its path each of paths_ is; 1: the first
  std::unordered_map<pid_t, Running> running_;  // started and not reaped, by PID
  // Time limits and grace periods, earliest first; a PID no longer running is a group stopped at
  // its time limit whose leader ended, killed at its grace period's end.
  std::set<std::pair<Clock::time_point, pid_t>> deadlines_;
  RetryMap retries_;  // failed runs waiting for their next try, by due time: path, next try
  std::unordered_map<std::string, RetryMap::iterator> retryOf_;  // retries_ by path
  size_t jobLimit_ = 0;                                          // 0: no limit
  RunTally tally_;
};

}  // namespace vellumd
