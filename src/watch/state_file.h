// state_file.h: what the daemon remembers of the tree across a stop, kept in one file that is
// replaced atomically (a new file renamed over the old), so that a crash at any moment leaves
// either the old state or the new one.
//
// The dispatch makes a TreeState; the loop has a StateFile save it now and then and at an orderly
// stop, and load it once at start-up. Single-threaded.
#pragma once

#include <time.h>

#include <optional>
#include <string>
#include <vector>

namespace vellumd {

// How far the daemon had handled the tree.
struct TreeState {
  struct Run {
    std::string path;
    timespec changed;  // the file's change time when its run started
  };
  // Every change made before this had its run started, or is named in `toLook`.
  timespec horizon{};
  // Runs started since the horizon: a file changed no further since its run is not run again.
  std::vector<Run> runs;
  // Files whose completion was known and not yet handed over (runs queued, names settling, files
  // still being written): looked at again whatever their change time.
  std::vector<std::string> toLook;
};

// The state file at one path. Owns the path only; every call opens and closes what it needs.
class StateFile {
 public:
  explicit StateFile(const std::string& path);
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;
  virtual ~StateFile();

  // Nothing when there is no file yet (a first start). Otherwise the state, or an error: the
  // file could not be read or is not one this daemon wrote (`error` then says why).
  std::optional<TreeState> load(std::string& error) const;
  // Writes `state` to a temporary file beside the path, flushes it to disk and renames it over
  // the path. False with `error` set when any step fails; the old file then stays as it was.
  bool save(const TreeState& state, std::string& error) const;

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
};

}  // namespace vellumd
