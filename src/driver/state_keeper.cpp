// state_keeper.cpp: loading, catching up from and saving the state file while the daemon runs.
#include "driver/state_keeper.h"

#include "log/log.h"

namespace vellumd {

StateKeeper::~StateKeeper() = default;

void StateKeeper::prepareScan(ScanOptions& scan) {
  if (!file_ || !saved_)
    return;
  scan.changedSince = saved_->horizon;
  scan.changedFiles = &changed_;
}

void StateKeeper::start(Decider& decider) {
  if (!file_)
    return;
  if (saved_)
    decider.catchUp(*saved_, changed_);
  saved_.reset();
  changed_ = {};
  started_ = true;
  save(decider);
}

void StateKeeper::saveIfDue(const Decider& decider) {
  if (unsaved_ && Clock::now() >= savedAt_ + kSaveEvery)
    save(decider);
}

void StateKeeper::save(const Decider& decider, bool orderlyStop) {
  // Before the catch-up (a target still missing) the saved state is all there is to keep.
  if (!file_ || !started_)
    return;
  std::string error;
  if (!file_->save(decider.snapshot(orderlyStop), error)) {
    writeLog("State file " + escapeForLog(file_->path()) + " " + error + " - going on without it",
             log_);
    file_ = nullptr;
  }
  unsaved_ = false;
  savedAt_ = Clock::now();
}

}  // namespace vellumd
