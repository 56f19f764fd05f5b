// log_fold.cpp: folding repeated record lines.
#include "log/log_fold.h"

#include "log/log.h"

namespace vellumd {

LogFold::LogFold(std::ostream* log) : log_(log) {
  if (log_ != nullptr)
    log_->pword(detail::foldSlot()) = this;
}

LogFold::~LogFold() {
  if (log_ == nullptr)
    return;
  flush();
  log_->pword(detail::foldSlot()) = nullptr;
}

void LogFold::wakeUp(const std::string& message) {
  if (log_ == nullptr)
    return;
  if (!heldWakeUp_.empty())
    detail::writeLine(heldWakeUp_, *log_);
  heldWakeUp_ = message;
}

void LogFold::record(const std::string& message) {
  if (log_ == nullptr)
    return;
  if (!lastRecord_.empty() && message == lastRecord_) {
    if (repeats_++ == 0)
      firstRepeat_ = Clock::now();
    return;
  }
  flush();
  detail::writeLine(message, *log_);
  lastRecord_ = message;
}

void LogFold::flush() {
  if (log_ == nullptr)
    return;
  writeCount();
  if (!heldWakeUp_.empty())
    detail::writeLine(heldWakeUp_, *log_);
  heldWakeUp_.clear();
  lastRecord_.clear();
}

void LogFold::flushIfDue(Clock::time_point now) {
  if (repeats_ > 0 && now >= firstRepeat_ + kMaxDelay)
    writeCount();
}

std::optional<LogFold::Clock::time_point> LogFold::due() const {
  if (repeats_ == 0)
    return std::nullopt;
  return firstRepeat_ + kMaxDelay;
}

void LogFold::writeCount() {
  if (repeats_ == 0)
    return;
  detail::writeLine("Last line repeated " + std::to_string(repeats_) + " times", *log_);
  repeats_ = 0;
}

}  // namespace vellumd
