// handler_queue.cpp: starting queued handler runs in order.
#include "exec/handler_queue.h"

#include <cerrno>
#include <cstring>

#include "errors/errors.h"
#include "exec/cmd_exec.h"
#include "log/log.h"

namespace vellumd {

HandlerQueue::HandlerQueue(const std::string& handler, std::ostream* log)
    : handler_(handler), log_(log) {}

HandlerQueue::~HandlerQueue() = default;

void HandlerQueue::push(const std::string& path) {
  paths_.push_back(path);
}

HandlerQueue::Outcome HandlerQueue::startQueued(size_t limit) {
  for (size_t started = 0; started < limit && !paths_.empty(); ++started) {
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
    if (command.childFailure() != nullptr) {
      // The child could not start the handler. A forked copy of the daemon would have unwound
      // to the loop's catch-all and logged this line itself; this child shared the daemon's
      // memory and could only exit, so the daemon writes the line for it and carries on.
      writeLog("Error: Unknown error", log_);
    }
    paths_.pop_front();
  }
  return Outcome::kStarted;
}

}  // namespace vellumd
