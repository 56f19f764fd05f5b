// state_keeper.h: the state file kept while the daemon runs.
//
// StateKeeper reads the saved state before the start-up scan (so that the scan notes the files
// changed since its horizon, and the tree is read once), has the decider catch up from it, and
// saves the decider's snapshot at most about once a second while records arrive, and at an
// orderly stop. A file that cannot be written is reported once, and the daemon goes on without
// it. The StateFile is the entry function's; the keeper is the loop's. Single-threaded.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "driver/decider.h"
#include "watch/dir_scan.h"
#include "watch/state_file.h"

namespace vellumd {

class StateKeeper {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kSaveEvery{1};

  // `file` may be null: no state is kept. `saved`: what it held at start-up. REQUIRES: `*file`
  // and `*log` outlive the keeper.
  StateKeeper(StateFile* file, std::optional<TreeState> saved, std::ostream* log)
      : log_(log), file_(file), saved_(std::move(saved)) {}
  StateKeeper(const StateKeeper&) = delete;
  StateKeeper& operator=(const StateKeeper&) = delete;
  virtual ~StateKeeper();

  // Sets `scan` to note what changed since the saved state. Nothing without one.
  void prepareScan(ScanOptions& scan);
  // Catches the decider up with what changed since the saved state, then saves at once, so that
  // a first start creates the file.
  void start(Decider& decider);
  // Records arrived, or runs ended: the state moved.
  void noteRecords() { unsaved_ = file_ != nullptr; }
  // When the state is to be saved next; nothing while nothing changed.
  std::optional<Clock::time_point> due() const {
    return unsaved_ ? std::optional(savedAt_ + kSaveEvery) : std::nullopt;
  }
  void saveIfDue(const Decider& decider);
  // `orderlyStop`: runs under way go on after the daemon (see Decider::snapshot).
  void save(const Decider& decider, bool orderlyStop = false);

 private:
  std::ostream* log_;
  StateFile* file_;                                   // null: no state kept
  std::optional<TreeState> saved_;                    // loaded, until caught up
  std::vector<std::pair<int, std::string>> changed_;  // found changed by the start-up scan
  bool unsaved_ = false;                              // records arrived since the last save
  bool started_ = false;                              // caught up: the snapshot may be saved
  Clock::time_point savedAt_;
};

}  // namespace vellumd
