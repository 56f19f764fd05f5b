// log_fold.h: folds a flood of one repeated record line into one line and a count.
//
// A writer that rewrites one byte of one file in a loop makes the daemon wake up and describe the
// same record over and over: without folding, hundreds of megabytes of log a minute. The event
// loop hands its wake-up and record lines to the fold instead of writing them; a record line that
// repeats the last one with nothing but wake-ups between is counted, not written, and so is a
// wake-up whose records were all such repeats. The count is written as "Last line repeated N
// times" when any other line is logged (writeLog asks the attached fold first) or once it is a
// second old.
// Attaches itself to the log stream for its lifetime; owns only the lines it holds back.
// Single-threaded: the event loop is its only user.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

namespace vellumd {

class LogFold {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a count may wait for another line before it is written anyway.
  static constexpr std::chrono::seconds kMaxDelay{1};

  // `log` may be null: nothing is then written or held. REQUIRES: `*log` outlives the fold, and
  // no other fold is attached to it.
  explicit LogFold(std::ostream* log);
  LogFold(const LogFold&) = delete;
  LogFold& operator=(const LogFold&) = delete;
  virtual ~LogFold();  // writes what it holds and detaches

  // A wake-up line: held until a line other than a repeat is written after it (it is written
  // first) or until endWakeUp().
  void wakeUp(const std::string& message);
  // A record line: written, or counted when it repeats the last record line written.
  void record(const std::string& message);
  // The records of the last wake-up are all told: a wake-up line still held had only repeats.
  void endWakeUp() { heldWakeUp_.clear(); }

  // Writes the count and a held wake-up line; the next record line is written whatever it is.
  void flush();
  // Writes the count when it is due; repeats after it are counted anew.
  void flushIfDue(Clock::time_point now);
  // When the count must be written; nothing while no repeat is counted.
  std::optional<Clock::time_point> due() const;

 private:
  void writeCount();

  std::ostream* log_;       // not owned; null: the fold does nothing
  std::string lastRecord_;  // the record line a repeat must equal; empty after any other line
  std::string heldWakeUp_;  // a wake-up line not written yet; empty when none is held
  size_t repeats_ = 0;      // repeats of lastRecord_ folded since it or the last count was written
  Clock::time_point firstRepeat_;  // when the first of `repeats_` came
};

}  // namespace vellumd
