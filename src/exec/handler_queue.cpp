// handler_queue.cpp: starting queued handler runs in order, and reaping them.
#include "exec/handler_queue.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  // A new completion makes a fresh run: the retry of an earlier one would repeat it.
  if (!retryOf_.empty())
    dropRetry(path);
  requeue(path, 1);
}

void HandlerQueue::requeue(const std::string& path, unsigned nextTry) {
  paths_.push_back(path);
  queuedAt_.push_back(coarseNow());
  tries_.push_back(nextTry);
  tally_.retried += nextTry > 1;
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
    // The read end is the daemon's alone (close-on-exec); the write end becomes the child's
    // standard error and is closed here once the child has exec'ed.
    Descriptor errorRead;
    Descriptor errorWrite;
    if (policy_.errorLines > 0) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        errorRead = Descriptor(ends[0]);
        errorWrite = Descriptor(ends[1]);
        // The child's end blocks, as a standard error does: a handler that checks its writes
        // must not meet EAGAIN. The daemon drains the pipe whenever it is quiet.
        fcntl(ends[1], F_SETFL, 0);
        command.setErrorDescriptor(ends[1]);
      }
    }
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
    errorWrite = Descriptor();
    ++tally_.started;
    const unsigned tryNumber = tries_.front();
    if (command.childFailure() != nullptr) {
      ++tally_.failed;
      // The child shared the daemon's memory and could only exit; the daemon writes its lines.
      // Its exit is reaped like any other and, being no run of the handler, logs nothing more.
      writeLog("Error: Unknown error", log_);
      writeLog("Handler " + escapeForLog(handler_) + " could not be started - " +
                   strerror(command.childError()),
               log_);
      failed(path, tryNumber, false, "");
    } else {
      Running& run = running_[command.pid()];
      run.path = path;
      run.tryNumber = tryNumber;
      run.errors = std::move(errorRead);
      if (policy_.timeout.count() > 0) {
        run.deadline = Clock::now() + policy_.timeout;
        deadlines_.emplace(*run.deadline, command.pid());
      }
    }
    paths_.pop_front();
    queuedAt_.pop_front();
    tries_.pop_front();
  }
  return Outcome::kStarted;
}

std::vector<std::string> HandlerQueue::runningPaths() const {
  std::vector<std::string> paths;
  for (const auto& [pid, run] : running_)
    paths.push_back(run.path);
  return paths;
}

void HandlerQueue::failed(const std::string& path, unsigned tryNumber, bool final,
                          const std::string& tail) {
  const std::string name = escapeForLog(path);
  if (policy_.errorLines > 0 && !tail.empty()) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < tail.size();) {
      const size_t end = std::min(tail.find('\n', at), tail.size());
      lines.push_back(tail.substr(at, end - at));
      at = end + 1;
    }
    const size_t from = lines.size() > policy_.errorLines ? lines.size() - policy_.errorLines : 0;
    for (size_t line = from; line < lines.size(); ++line)
      writeLog("Handler for " + name + " said: " + escapeForLog(lines[line]), log_);
  }
  if (final || policy_.retries == 0)
    return;
  const unsigned tries = policy_.retries + 1;
  if (tryNumber >= tries) {
    writeLog("Handler for " + name + " failed " + std::to_string(tryNumber) + " times - giving up",
             log_);
    return;
  }
  std::chrono::milliseconds delay = policy_.retryDelay;
  for (unsigned doubled = 1; doubled < tryNumber && delay < kMaxRetryDelay; ++doubled)
    delay *= 2;
  delay = std::min(delay, kMaxRetryDelay);
  writeLog("Handler for " + name + " will run again in " + std::to_string(delay.count()) +
               " ms (try " + std::to_string(tryNumber) + " of " + std::to_string(tries) + ")",
           log_);
  addRetry(path, tryNumber + 1, Clock::now() + delay);
}

void HandlerQueue::addRetry(const std::string& path, unsigned nextTry, Clock::time_point due) {
  dropRetry(path);
  retryOf_[path] = retries_.emplace(due, std::make_pair(path, nextTry));
  tally_.waitingRetry = retries_.size();
}

void HandlerQueue::dropRetry(const std::string& path) {
  auto retry = retryOf_.find(path);
  if (retry == retryOf_.end())
    return;
  retries_.erase(retry->second);
  retryOf_.erase(retry);
  tally_.waitingRetry = retries_.size();
}

void HandlerQueue::restoreRetry(const PendingRetry& retry) {
  addRetry(retry.path, retry.nextTry, retry.due);
}

std::vector<PendingRetry> HandlerQueue::takeDueRetries(Clock::time_point now) {
  std::vector<PendingRetry> due;
  while (!retries_.empty() && retries_.begin()->first <= now) {
    auto first = retries_.begin();
    due.push_back({first->second.first, first->second.second, first->first});
    retryOf_.erase(first->second.first);
    retries_.erase(first);
  }
  tally_.waitingRetry = retries_.size();
  return due;
}

std::vector<PendingRetry> HandlerQueue::pendingRetries() const {
  std::vector<PendingRetry> pending;
  const Clock::time_point now = Clock::now();
  for (size_t at = 0; at < paths_.size(); ++at) {
    if (tries_[at] > 1)
      pending.push_back({paths_[at], tries_[at], now});
  }
  for (const auto& [due, retry] : retries_)
    pending.push_back({retry.first, retry.second, due});
  return pending;
}

std::optional<HandlerQueue::Clock::time_point> HandlerQueue::nextDeadline() const {
  std::optional<Clock::time_point> next;
  if (!deadlines_.empty())
    next = deadlines_.begin()->first;
  if (!retries_.empty() && (!next || retries_.begin()->first < *next))
    next = retries_.begin()->first;
  return next;
}

void HandlerQueue::enforceTimeLimits(Clock::time_point now) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    const pid_t pid = deadlines_.begin()->second;
    deadlines_.erase(deadlines_.begin());
    auto run = running_.find(pid);
    if (run == running_.end() || run->second.stopping) {
      // Whatever of the group outlived its grace period. The kernel gives no new process this
      // PID while the group it names has a member, so the signal reaches no stranger.
      kill(-pid, SIGKILL);
      if (run != running_.end())
        run->second.deadline.reset();
      continue;
    }
    writeLog("Handler for " + escapeForLog(run->second.path) + " ran past " +
                 std::to_string(policy_.timeout.count()) + " s - stopping it",
             log_);
    kill(-pid, SIGTERM);
    run->second.stopping = true;
    run->second.deadline = now + kKillGrace;
    deadlines_.emplace(*run->second.deadline, pid);
  }
}

void HandlerQueue::addErrorPipes(std::vector<pollfd>& fds) const {
  if (policy_.errorLines == 0)
    return;
  for (const auto& [pid, run] : running_) {
    if (run.errors.get() >= 0)
      fds.push_back({run.errors.get(), POLLIN, 0});
  }
}

bool HandlerQueue::drainErrors(Running& run, size_t budget) {
  char buffer[16 * 1024];
  while (budget > 0) {
    const ssize_t count = read(run.errors.get(), buffer, std::min(sizeof buffer, budget));
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0)
      return errno == EAGAIN;
    if (count == 0)
      return false;
    budget -= static_cast<size_t>(count);
    // Only the tail is ever logged: what came before it is dropped as it is read.
    const size_t keep = std::min(static_cast<size_t>(count), kErrorTailBytes);
    run.errorTail.append(buffer + count - keep, keep);
    if (run.errorTail.size() > kErrorTailBytes)
      run.errorTail.erase(0, run.errorTail.size() - kErrorTailBytes);
  }
  return true;
}

void HandlerQueue::readErrors() {
  // A bounded amount per run and turn, so that one handler writing megabytes holds up neither
  // the reading of records nor the other runs.
  static constexpr size_t kBudget = 64 * 1024;
  for (auto& [pid, run] : running_) {
    if (run.errors.get() >= 0 && !drainErrors(run, kBudget))
      run.errors = Descriptor();
  }
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
    const bool failedRun = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    if (failedRun)
      ++tally_.failed;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      writeLog("Handler for " + escapeForLog(run->second.path) + " exited with status " +
                   std::to_string(WEXITSTATUS(status)),
               log_);
    } else if (WIFSIGNALED(status)) {
      writeLog("Handler for " + escapeForLog(run->second.path) + " killed by signal " +
                   std::to_string(WTERMSIG(status)),
               log_);
    }
    Running& ended = run->second;
    if (ended.deadline && !ended.stopping)
      deadlines_.erase({*ended.deadline, pid});
    // A group stopped at its time limit keeps its SIGKILL deadline: what the handler started
    // may outlive it.
    if (failedRun) {
      // What is still in the pipe; a child the handler left behind may hold its write end, so
      // the read stops at an empty pipe (or a bound) rather than at its end.
      static constexpr size_t kLastReadBytes = 1024 * 1024;
      if (ended.errors.get() >= 0)
        drainErrors(ended, kLastReadBytes);
      failed(ended.path, ended.tryNumber,
             WIFEXITED(status) && WEXITSTATUS(status) == kNoRetryStatus, ended.errorTail);
    }
    running_.erase(run);
  }
}

}  // namespace vellumd
