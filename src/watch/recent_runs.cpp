// recent_runs.cpp: the runs decided lately, by path.
#include "watch/recent_runs.h"

#include "base/times.h"

namespace vellumd {

RecentRuns::~RecentRuns() = default;

void RecentRuns::note(const std::string& path, const timespec& changed, bool byLook) {
  runs_[path] = {changed, wallClockNow(), byLook};
}

bool RecentRuns::ranAt(const std::string& path, const timespec& changed) const {
  auto run = runs_.find(path);
  return run != runs_.end() && same(run->second.changed, changed);
}

bool RecentRuns::lookedAtAlready(const std::string& path, const timespec& changed) const {
  auto run = runs_.find(path);
  return run != runs_.end() && run->second.byLook && same(run->second.changed, changed);
}

void RecentRuns::forgetBefore(const timespec& horizon) {
  if (!before(forgottenUpTo_, earlier(horizon, kNanosecondsPerSecond)))
    return;
  std::erase_if(runs_,
                [&horizon](const auto& run) { return before(run.second.decidedAt, horizon); });
  forgottenUpTo_ = horizon;
}

void RecentRuns::restore(const std::vector<TreeState::Run>& runs) {
  const timespec decided = wallClockNow();
  for (const TreeState::Run& run : runs)
    runs_[run.path] = {run.changed, decided, false};
}

}  // namespace vellumd
