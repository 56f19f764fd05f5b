// recent_runs.h: the runs decided lately, by path, with the file's change time then.
//
// What the daemon looks at again after lost records (an overflow) or after a stop (the state
// file) may be a completion it already ran: a file whose change time is the one its run saw has
// not changed since, and is not run again. Only runs decided since the kernel's queue was last
// seen empty can be of changes an overflow loses, so older ones are forgotten, at most once a
// second. Owned by the dispatch; saved in the state file. Single-threaded.
#pragma once

#include <time.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "watch/state_file.h"

namespace vellumd {

class RecentRuns {
 public:
  RecentRuns() = default;
  RecentRuns(const RecentRuns&) = delete;
  RecentRuns& operator=(const RecentRuns&) = delete;
  virtual ~RecentRuns();

  // A run of `path` decided now, on the change time `changed`; `byLook`: by a look, whose queue
  // mark a later overflow may have lost.
  void note(const std::string& path, const timespec& changed, bool byLook);
  // True when a run of `path` was decided at the change time `changed`.
  bool ranAt(const std::string& path, const timespec& changed) const;
  // True when a look ran `path` at the change time `changed`: a record queued before that look's
  // mark, read after an overflow dropped the mark, tells of the same completion.
  bool lookedAtAlready(const std::string& path, const timespec& changed) const;
  // Forgets the runs decided before `horizon`; does nothing within a second of the last time.
  void forgetBefore(const timespec& horizon);
  // The saved runs of a state file, as if decided now.
  void restore(const std::vector<TreeState::Run>& runs);
  // Every run remembered, less those of `except`'s paths, for the state file.
  template <typename Except>
  std::vector<TreeState::Run> saved(Except except) const {
    std::vector<TreeState::Run> runs;
    for (const auto& [path, run] : runs_) {
      if (!except(path))
        runs.push_back({path, run.changed});
    }
    return runs;
  }

 private:
  struct Run {
    timespec changed;
    timespec decidedAt;
    bool byLook = false;
  };
  std::unordered_map<std::string, Run> runs_;
  timespec forgottenUpTo_{};  // runs_ holds nothing decided before this
};

}  // namespace vellumd
