// handler_queue.h: the daemon's first-in first-out queue of handler runs.
//
// Reading the kernel's queue comes before starting handlers: each start costs a fork() and an
// exec, and a loop that forked for every completion as it read it would let a fast writer fill
// the kernel's queue until records are lost. The dispatch queues each run; the loop starts queued
// runs, a bounded number at a time, only while the inotify descriptor has nothing to read.
// Owns the handler path and the queued paths. Single-threaded: the loop is its only user.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <ostream>
#include <string>

namespace vellumd {

class HandlerQueue {
 public:
  // How long to wait before trying again when the system has no room for another process.
  static constexpr std::chrono::milliseconds kRetryPause{100};

  enum class Outcome {
    kStarted,     // the runs asked for were started (or the queue ran empty)
    kRetryLater,  // fork() failed for want of processes or memory; the run stays first in line
  };

  // `log` may be null.
  HandlerQueue(const std::string& handler, std::ostream* log);
  HandlerQueue(const HandlerQueue&) = delete;
  HandlerQueue& operator=(const HandlerQueue&) = delete;
  virtual ~HandlerQueue();

  // Queues one run of the handler with `path` as its argument.
  void push(const std::string& path);

  // Starts up to `limit` queued runs, in order, each exactly once and never waited for. A fork()
  // that fails with EAGAIN or ENOMEM logs one line and leaves that run queued: kRetryLater.
  // Throws ExecError for any other failure to fork. In a child whose exec fails, the ExecError
  // leaves this call too, as it leaves CmdExec::run().
  Outcome startQueued(size_t limit);

  bool empty() const { return paths_.empty(); }
  // The paths of the runs not started yet, oldest first.
  const std::deque<std::string>& waiting() const { return paths_; }
  size_t size() const { return paths_.size(); }

 private:
  const std::string handler_;
  std::ostream* log_;              // null: nothing is logged
  std::deque<std::string> paths_;  // waiting runs, oldest first
};

}  // namespace vellumd
