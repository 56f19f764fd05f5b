// look.h: looking into a directory for files that no record will ever complete.
//
// Files written before their directory's watch existed (a tree copied or extracted into a new
// directory), or while the kernel's records were lost, or while the daemon was stopped, get no
// close the daemon can read. A look finds them and tells which are complete, with this protocol:
// - A file is complete when a read lease can be taken on it: the kernel refuses the lease while
//   anyone has the file open for writing. One that is written still is noted as created, so that
//   its close runs it.
// - While the leases of a batch are held nobody can write those files, and a queue mark is placed
//   (InotifyWatch::placeQueueMark): every record of theirs queued before the mark tells of the
//   completion the look found, every one after it of a new write. Until the mark is read, a
//   close of such a file is not run again (handledByLook).
// - An empty file is never leased: it may be a writer's open still under way, which a lease
//   would make fail or hand over unwritten. It is noted as created, its records decide, and when
//   the mark is read with none having told of it, a lease taken then decides.
// The look decides nothing itself: each call returns what it found, for the dispatch to run.
// Owned by the dispatch. Single-threaded.
#pragma once

#include <sys/inotify.h>
#include <time.h>

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "watch/directory_identity.h"
#include "watch/file_probe.h"
#include "watch/inotify_watch.h"
#include "watch/recent_runs.h"

namespace vellumd {

// What a look found about one file.
struct LookFinding {
  enum class Kind {
    kComplete,   // complete at `changed`: to be handed over
    kLookAgain,  // its directory moved since the look: to be looked at again once the records
                 // that tell where to are read
  };
  Kind kind;
  int wd;
  std::string directory;  // its directory's path (kComplete)
  std::string name;
  timespec changed{};
  bool settled = false;  // it had its settle wait already
};

class Look {
 public:
  // REQUIRES: every argument outlives the look. `excludes`: patterns of names never looked at.
  Look(InotifyWatch& watch, DirectoryIdentity& identity, const RecentRuns& runs,
       const std::vector<std::string>& excludes);
  Look(const Look&) = delete;
  Look& operator=(const Look&) = delete;
  virtual ~Look();

  // Looks at the regular files of the newly watched `directories`. With `changedSince`, only at
  // those changed since then, or being written, and not run at their present change time.
  std::vector<LookFinding> atFiles(const std::vector<int>& directories,
                                   const timespec* changedSince = nullptr);
  // The same for `names` in the directory `wd` at `directory`, open as `directoryFd`.
  std::vector<LookFinding> atNames(int wd, const std::string& directory, int directoryFd,
                                   const std::vector<std::string>& names,
                                   const timespec* changedSince);
  // One file that arrived by a rename while its writer may still have it open. `settled`: the
  // name had its settle wait already.
  std::vector<LookFinding> atArrival(int wd, const std::string& directory, int directoryFd,
                                     const std::string& name, bool empty);

  // A record of a file: notes what it tells of a file found empty. True when it tells of a
  // completion a look handled already (queued before that look's mark).
  bool noteRecord(const inotify_event& event, const std::string& name);
  // The mark `wd` was read: the records of its files queued before it are all read.
  std::vector<LookFinding> markRead(int wd);
  // Records were lost: the marks with them. The files found empty are to be looked at again.
  std::vector<LookFinding> forgetMarks();

 private:
  // A regular file a look takes up, and whether it was empty when found.
  struct FoundFile {
    std::string name;
    bool empty;
  };
  // Takes the leases of the files not empty: those nobody writes go to `complete`, leases held;
  // those being written are noted as created. The empty ones go to `empty`.
  void takeLeases(int wd, int directoryFd, const std::vector<FoundFile>& files,
                  std::vector<std::pair<std::string, ReadLease>>& complete,
                  std::vector<std::string>& empty);
  // Looks at `files`, holding the leases of those not empty together under one mark.
  void atBatch(int wd, const std::string& directory, int directoryFd,
               const std::vector<FoundFile>& files, bool settled);
  // Places the mark for a batch: through a leased file, or a path descriptor of an empty one.
  int placeMark(const std::string& directory, int directoryFd, int leasedFd,
                const std::string& leasedName, const std::string& emptyName);
  // A file found empty whose mark was read, or that waited for no mark: handed over when a lease
  // finds it still empty and written by nobody.
  void decideEmpty(int wd, const std::string& name, bool settled);

  InotifyWatch& watch_;
  DirectoryIdentity& identity_;
  const RecentRuns& runs_;
  const std::vector<std::string>& excludes_;
  std::vector<LookFinding> findings_;  // of the call under way
  // Files a look handled, by directory and name, with the mark placed while their leases held.
  std::map<std::pair<int, std::string>, int> lookedAt_;
  // The same files, and those found empty, by mark: reading a mark costs its own files only.
  std::unordered_map<int, std::vector<std::pair<int, std::string>>> byMark_;
  // Files found empty, by directory and name, with the look's mark.
  struct FoundEmpty {
    int mark;
    bool settled;
    bool createdUnclosed = false;  // a creation record read since the look, and no close
  };
  std::map<std::pair<int, std::string>, FoundEmpty> foundEmpty_;
};

}  // namespace vellumd
