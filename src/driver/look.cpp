// look.cpp: the look into a directory for files no record will complete, with leases and marks.
#include "driver/look.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <memory>

#include "base/descriptor.h"
#include "base/times.h"
#include "watch/dir_scan.h"
#include "watch/file_probe.h"

namespace vellumd {

namespace {
// Files looked at under one queue mark, their leases held together: bounded, since each holds a
// descriptor.
constexpr size_t kLeasesPerMark = 64;
}  // namespace

Look::Look(InotifyWatch& watch, DirectoryIdentity& identity, const RecentRuns& runs,
           const std::vector<std::string>& excludes)
    : watch_(watch), identity_(identity), runs_(runs), excludes_(excludes) {}

Look::~Look() = default;

std::vector<LookFinding> Look::atFiles(const std::vector<int>& directories,
                                       const timespec* changedSince) {
  std::vector<LookFinding> findings;
  for (int wd : directories) {
    const std::optional<std::string> directory = watch_.registry().boundedPathOf(wd);
    // Opened only when its path still leads to the directory watched: a look through a name
    // swapped for a link would hand over another directory's files.
    const int fd = directory ? identity_.openWatched(wd) : -1;
    if (fd < 0)
      continue;
    std::unique_ptr<DIR, int (*)(DIR*)> stream(fdopendir(fd), closedir);
    if (!stream) {
      close(fd);
      continue;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(stream.get())) {
      if (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)
        names.emplace_back(entry->d_name);
    }
    std::vector<LookFinding> found =
        atNames(wd, *directory, dirfd(stream.get()), names, changedSince);
    findings.insert(findings.end(), std::make_move_iterator(found.begin()),
                    std::make_move_iterator(found.end()));
  }
  return findings;
}

std::vector<LookFinding> Look::atNames(int wd, const std::string& directory, int directoryFd,
                                       const std::vector<std::string>& names,
                                       const timespec* changedSince) {
  std::vector<FoundFile> batch;
  for (const std::string& name : names) {
    // Only regular files: opening a device or a FIFO to look at it could have effects.
    struct stat info;
    if (fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || matchesAnyPattern(name, excludes_)) {
      continue;
    }
    if (changedSince != nullptr) {
      // A file written and not yet closed may have lost its close: a close changes no time.
      if (before(info.st_ctim, *changedSince) && watch_.registry().pendingMask(wd, name) == 0)
        continue;
      // Run already, and not changed since: its run stands.
      if (runs_.ranAt(joinPath(directory, name), info.st_ctim))
        continue;
    }
    batch.push_back({name, info.st_size == 0});
    if (batch.size() == kLeasesPerMark) {
      atBatch(wd, directory, directoryFd, batch, false);
      batch.clear();
    }
  }
  atBatch(wd, directory, directoryFd, batch, false);
  return std::exchange(findings_, {});
}

std::vector<LookFinding> Look::atArrival(int wd, const std::string& directory, int directoryFd,
                                         const std::string& name, bool empty) {
  atBatch(wd, directory, directoryFd, {{name, empty}}, true);
  return std::exchange(findings_, {});
}

void Look::takeLeases(int wd, int directoryFd, const std::vector<FoundFile>& files,
                      std::vector<std::pair<std::string, ReadLease>>& complete,
                      std::vector<std::string>& empty) {
  for (const FoundFile& file : files) {
    if (file.empty) {
      empty.push_back(file.name);
      continue;
    }
    ReadLease lease;
    switch (lease.take(directoryFd, file.name)) {
      case WriterState::kNoWriter:
        complete.emplace_back(file.name, std::move(lease));
        break;
      case WriterState::kWriter:
      case WriterState::kUnknown:
        // Its close is still to come, or may be: never hand over a file that may be half
        // written. Noted as created, so that its close runs the handler.
        watch_.registry().notePending(wd, file.name, IN_CREATE);
        break;
      case WriterState::kGone:
        break;
    }
  }
}

void Look::atBatch(int wd, const std::string& directory, int directoryFd,
                   const std::vector<FoundFile>& files, bool settled) {
  std::vector<std::pair<std::string, ReadLease>> complete;
  std::vector<std::string> empty;
  takeLeases(wd, directoryFd, files, complete, empty);
  if (complete.empty() && empty.empty())
    return;
  // While the leases hold, nobody can write these files: every record of theirs queued before
  // the mark tells of the completion handled here, and every one after it of a new write.
  const int mark = complete.empty()
                       ? placeMark(directory, directoryFd, -1, "", empty.front())
                       : placeMark(directory, directoryFd, complete.front().second.fd(),
                                   complete.front().first, "");
  for (auto& [name, lease] : complete) {
    struct stat info;
    if (fstat(lease.fd(), &info) != 0)
      info.st_ctim = {};
    // A writer that created the file before the lease, and opened it for writing only after,
    // waits for the lease now: its close, queued after the mark, runs the handler.
    if (lease.breaking()) {
      lease.release();
      watch_.registry().notePending(wd, name, IN_CREATE);
      continue;
    }
    lease.release();
    // Without a mark the two cannot be told apart: a close already queued runs it again.
    if (mark >= 0) {
      lookedAt_[{wd, name}] = mark;
      byMark_[mark].emplace_back(wd, name);
    }
    // Completed while no record could tell of it (before the watch existed, or while records
    // were lost): the look decides. A name still settling is looked at again when it has.
    watch_.registry().clearPending(wd, name);
    findings_.push_back({LookFinding::Kind::kComplete, wd, directory, name, info.st_ctim, settled});
  }
  for (const std::string& name : empty) {
    watch_.registry().notePending(wd, name, IN_CREATE);
    if (mark >= 0) {
      foundEmpty_[{wd, name}] = {mark, settled};
      byMark_[mark].emplace_back(wd, name);
    } else {
      decideEmpty(wd, name, settled);
    }
  }
}

int Look::placeMark(const std::string& directory, int directoryFd, int leasedFd,
                    const std::string& leasedName, const std::string& emptyName) {
  if (leasedFd >= 0)
    return watch_.placeQueueMark(joinPath(directory, leasedName), leasedFd);
  // Through a path descriptor, which opens nothing: the name may be a device or a FIFO by now.
  Descriptor file(openat(directoryFd, emptyName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return -1;
  return watch_.placeQueueMark(joinPath(directory, emptyName), file.get());
}

bool Look::noteRecord(const inotify_event& event, const std::string& name) {
  if (!foundEmpty_.empty()) {
    if (auto found = foundEmpty_.find({event.wd, name}); found != foundEmpty_.end()) {
      if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
        foundEmpty_.erase(found);
      } else if (event.mask & IN_CREATE) {
        found->second.createdUnclosed = true;
      } else if (event.mask & IN_CLOSE_WRITE) {
        found->second.createdUnclosed = false;
      }
    }
  }
  // An arrival or a close queued before the mark of a look that handled the file is of the
  // completion the look handled.
  return !lookedAt_.empty() && lookedAt_.contains({event.wd, name});
}

std::vector<LookFinding> Look::markRead(int wd) {
  auto mark = byMark_.find(wd);
  if (mark == byMark_.end())
    return {};
  for (const auto& file : mark->second) {
    // A later look may have marked the file again: its entry then waits for that mark.
    if (auto looked = lookedAt_.find(file); looked != lookedAt_.end() && looked->second == wd)
      lookedAt_.erase(looked);
    auto found = foundEmpty_.find(file);
    if (found == foundEmpty_.end() || found->second.mark != wd)
      continue;
    const FoundEmpty empty = found->second;
    foundEmpty_.erase(found);
    // Created while watched and not closed yet: the open that created it is still under way (or
    // the name was linked, which no close completes in a directory watched all along either).
    if (!empty.createdUnclosed)
      decideEmpty(file.first, file.second, empty.settled);
  }
  byMark_.erase(mark);
  return std::exchange(findings_, {});
}

std::vector<LookFinding> Look::forgetMarks() {
  std::vector<LookFinding> again;
  for (const auto& [file, empty] : foundEmpty_)
    again.push_back(
        {LookFinding::Kind::kLookAgain, file.first, "", file.second, {}, empty.settled});
  foundEmpty_.clear();
  lookedAt_.clear();
  byMark_.clear();
  return again;
}

void Look::decideEmpty(int wd, const std::string& name, bool settled) {
  // A close read meanwhile ran it, or it went.
  if (watch_.registry().pendingMask(wd, name) == 0)
    return;
  const std::optional<std::string> directory = watch_.registry().boundedPathOf(wd);
  if (!directory)
    return;  // its directory went
  const int directoryFd = watch_.registry().isRooted(wd) ? identity_.openHeld(wd) : -1;
  if (directoryFd < 0) {
    // Its directory, or one above, was moved or replaced since the look: the records that tell
    // where to are still queued. It is looked at again once they are read.
    findings_.push_back({LookFinding::Kind::kLookAgain, wd, "", name, {}, settled});
    return;
  }
  ReadLease lease;
  const WriterState state = lease.take(directoryFd, name);
  if (state == WriterState::kGone)
    watch_.registry().clearPending(wd, name);
  if (state != WriterState::kNoWriter)
    return;
  // Written since it was found: the close of that write is queued, and runs it.
  struct stat info;
  if (fstat(lease.fd(), &info) != 0 || info.st_size != 0 || lease.breaking())
    return;
  lease.release();
  watch_.registry().clearPending(wd, name);
  findings_.push_back({LookFinding::Kind::kComplete, wd, *directory, name, info.st_ctim, settled});
}

}  // namespace vellumd
