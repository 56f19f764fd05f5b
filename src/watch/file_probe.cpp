// file_probe.cpp: read leases as a test for writers.
#include "watch/file_probe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vellumd {

namespace {
// While a lease is held, a writer's open() makes the kernel signal the holder: SIGIO unless
// F_SETSIG names another, and SIGIO would end the daemon. SIGWINCH is ignored by default, so its
// disposition (which handlers inherit) stays untouched and the signal is simply dropped.
constexpr int kLeaseBreakSignal = SIGWINCH;
}  // namespace

ReadLease::ReadLease(ReadLease&& other) noexcept : fd_(std::move(other.fd_)) {}

ReadLease& ReadLease::operator=(ReadLease&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::move(other.fd_);
  }
  return *this;
}

ReadLease::~ReadLease() {
  release();
}

WriterState ReadLease::take(int directoryFd, const std::string& name) {
  // O_NONBLOCK: should another holder's lease stand in the way, the open fails instead of
  // waiting. O_NOCTTY: the daemon leads a session and must never acquire a terminal.
  Descriptor file(
      openat(directoryFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    // ELOOP: O_NOFOLLOW met a link where the file was.
    return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? WriterState::kGone
                                                                 : WriterState::kUnknown;
  }
  struct stat info;
  WriterState state = WriterState::kUnknown;
  if (fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
    state = WriterState::kGone;
  } else if (fcntl(fd, F_SETSIG, kLeaseBreakSignal) == 0) {
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      fd_ = std::move(file);
      return WriterState::kNoWriter;
    }
    // EAGAIN: open for writing somewhere. EACCES, EPERM (not the owner, no CAP_LEASE) and
    // EINVAL (a filesystem without leases) leave the question open.
    if (errno == EAGAIN)
      state = WriterState::kWriter;
  }
  return state;
}

bool ReadLease::breaking() const {
  // A lease being broken reports the type it is being broken to.
  return fd_.get() >= 0 && fcntl(fd_.get(), F_GETLEASE) == F_UNLCK;
}

void ReadLease::release() {
  if (fd_.get() < 0)
    return;
  fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
  fd_ = Descriptor();
}

}  // namespace vellumd
