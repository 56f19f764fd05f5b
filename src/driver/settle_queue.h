// settle_queue.h: the names whose run waits for them to be quiet.
//
// Upload tools write a temporary name and rename it, or write a file in several opens: with a
// settle time, a run decided for a name waits until the name has had no record for that long.
// Every record for a waiting name restarts its wait; a name deleted or moved away is dropped (an
// arrival under the new name has its own wait). Since every wait is as long as every other, the
// names come due in the order they last started waiting: a queue in that order, in which a name
// whose wait restarted goes to the back when it comes up. One place in the queue per name, however
// often it is written, deleted and made again, so that memory follows names and not records.
// Owned by the dispatch. Single-threaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellumd {

// How a run was decided on, and so what is checked again when it is made.
enum class RunKind {
  kClose,             // a written file was closed
  kArrival,           // a file arrived, or a look found it complete
  kDirectoryArrival,  // a directory arrived
};

class SettleQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // A name in a watched directory: the directory's watch descriptor and the name.
  using Name = std::pair<int, std::string>;

  explicit SettleQueue(std::chrono::milliseconds settle) : settle_(settle) {}
  SettleQueue(const SettleQueue&) = delete;
  SettleQueue& operator=(const SettleQueue&) = delete;
  virtual ~SettleQueue();

  // `name` runs as `kind` no sooner than `deadline`; a name waiting already takes both.
  void wait(const Name& name, RunKind kind, Clock::time_point deadline);
  // A record for `name`: when it waits, its wait restarts, or it is dropped when the record says
  // it is `gone` (deleted or moved away).
  void noteRecord(const Name& name, bool gone);

  bool empty() const { return waiting_.empty(); }
  // When the next name may be due; nothing while none waits.
  std::optional<Clock::time_point> next() const;
  // Takes up to `limit` names whose wait is over at `now`, in the order they came due.
  std::vector<std::pair<Name, RunKind>> takeDue(Clock::time_point now, size_t limit);
  // The names still waiting, for the state file.
  std::vector<Name> names() const;

 private:
  struct Waiting {
    RunKind kind;
    Clock::time_point deadline;
    bool dropped = false;  // gone: forgotten when its place in the queue comes up
  };

  const std::chrono::milliseconds settle_;
  std::map<Name, Waiting> waiting_;
  // One place per name of waiting_, with the deadline it had when it took it: a later one means
  // the wait restarted.
  std::deque<std::pair<Name, Clock::time_point>> order_;
};

}  // namespace vellumd
