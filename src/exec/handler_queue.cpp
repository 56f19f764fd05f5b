// handler_queue.cpp: starting queued handler runs in order, and reaping them.
#include "exec/handler_queue.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "errors/errors.h"
#include "exec/cmd_exec.h"
#include "log/log.h"

namespace vellumd {

HandlerQueue::HandlerQueue(const std::string& handler, std::ostream* log)
    : handler_(handler), log_(log) {}

HandlerQueue::~HandlerQueue() = default;

// A run's age is a figure in seconds for the operator: the coarse clock is exact enough, and
// reading it costs the queueing of a run a few nanoseconds rather than a full clock read.
namespace {
timespec coarseNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now;
}
}  // namespace

void HandlerQueue::push(const std::string& path) {
  paths_.push_back(path);
  queuedAt_.push_back(coarseNow());
}

std::chrono::nanoseconds HandlerQueue::oldestWait() const {
  if (queuedAt_.empty())
    return std::chrono::nanoseconds{0};
  const timespec now = coarseNow();
  const timespec& then = queuedAt_.front();
  return std::chrono::seconds(now.tv_sec - then.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec - then.tv_nsec);
}

HandlerQueue::Outcome HandlerQueue::startQueued(size_t limit) {
  for (size_t started = 0; started < limit && canStart(); ++started) {
    const std::string& path = paths_.front();
    const char* const argv[] = {handler_.c_str(), path.c_str(), nullptr};
    CmdExec command(handler_, argv);
    try {
      command.run(nullptr, nullptr, nullptr);
    } catch (const ExecError&) {
      const int error = command.forkError();
      if (error != EAGAIN && error != ENOMEM)
        throw;
      writeLog("Handler start delayed - fork() fail - " + std::string(strerror(error)) + " - " +
                   std::to_string(paths_.size()) + " waiting",
               log_);
      return Outcome::kRetryLater;
    }
    ++tally_.started;
    if (command.childFailure() != nullptr) {
      ++tally_.failed;
      // The child shared the daemon's memory and could only exit; the daemon writes its lines.
      // Its exit is reaped like any other and, being no run of the handler, logs nothing more.
      writeLog("Error: Unknown error", log_);
      writeLog("Handler " + escapeForLog(handler_) + " could not be started - " +
                   strerror(command.childError()),
               log_);
    } else {
      running_.emplace(command.pid(), path);
    }
    paths_.pop_front();
    queuedAt_.pop_front();
  }
  return Outcome::kStarted;
}

void HandlerQueue::reapFinished() {
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0)
      return;
    auto run = running_.find(pid);
    if (run == running_.end())
      continue;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      ++tally_.failed;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      writeLog("Handler for " + escapeForLog(run->second) + " exited with status " +
                   std::to_string(WEXITSTATUS(status)),
               log_);
    } else if (WIFSIGNALED(status)) {
      writeLog("Handler for " + escapeForLog(run->second) + " killed by signal " +
                   std::to_string(WTERMSIG(status)),
               log_);
    }
    running_.erase(run);
  }
}

}  // namespace vellumd
