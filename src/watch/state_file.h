// state_file.h: what the daemon remembers of the tree across a stop, kept in one file that is
// replaced atomically (a new file renamed over the old), so that a crash at any moment leaves
// either the old state or the new one.
//
// The entry function makes the StateFile before the daemon detaches, and refuses to start when
// the file is misplaced; the dispatch makes a TreeState; the loop has the StateFile save it now
// and then and at an orderly stop, and load it once at start-up. Single-threaded.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "base/descriptor.h"

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
  struct Retry {
    std::string path;
    unsigned triesLeft;  // 1 or more
    timespec due;        // CLOCK_REALTIME, so that it means the same after a reboot
  };
  // Failed runs waiting to be tried again.
  std::vector<Retry> retries;
};

// The state file at one path, for one tree. Owns a descriptor of the directory that holds the
// file, opened once at construction: every later read, write and rename happens in that
// directory, whatever is renamed above it. The file is the daemon's own: a daemon running as root
// over a folder others write into must read nothing they could have written, and write nothing
// they could have pointed elsewhere.
class StateFile {
 public:
  // The largest file read back: about two and a half million saved paths of a hundred bytes,
  // far more than a tree has pending at any moment; the bound keeps a file that grew by some
  // fault from swallowing the daemon's memory.
  static constexpr off_t kMaxBytes = 256 * 1024 * 1024;

  // Opens the directory of `path` for the state of the tree at `tree`, the path every saved path
  // starts with. Relative paths are taken from "/", where the daemon works. A directory that
  // cannot be opened is reported by load() and save(), as the missing file would be.
  StateFile(const std::string& path, const std::string& tree);
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;
  virtual ~StateFile();  // closes the directory

  // Why the file must not be kept at its path, or "": its directory can be written by a user
  // other than root and the daemon's own (who could put a file, a link or a FIFO of theirs in the
  // place of the state or of its temporary copy), the directory lies inside the tree (the file
  // would be handed over as it changes), or the path names no file. Worded to follow the path:
  // "is in a directory others can write".
  const std::string& refusal() const { return refusal_; }

  // Nothing when there is no file yet (a first start). Otherwise the state, or an error: the
  // file could not be read, is not a regular file of root or the daemon's own user, is larger
  // than kMaxBytes, is not one this daemon wrote, or names a path that is not strictly inside
  // the tree (`error` then says why). Never waits on a FIFO or follows a link.
  std::optional<TreeState> load(std::string& error) const;
  // Writes `state` to a temporary file beside the path, which it creates (one left by an earlier
  // save that a crash cut short is removed first), flushes it to disk and renames it over the
  // path. False with `error` set when any step fails; the old file then stays as it was.
  bool save(const TreeState& state, std::string& error) const;

  const std::string& path() const { return path_; }
  // The errno of the failed open of the file's directory; 0 when it is open.
  int directoryError() const { return directoryError_; }

 private:
  const std::string path_;  // as given
  const std::string tree_;  // as given: saved paths start with it
  std::string name_;        // the last component of path_
  Descriptor directory_;    // O_PATH; -1 when it could not be opened
  int directoryError_ = 0;  // the errno of that failure
  std::string refusal_;
};
}  // namespace vellumd
