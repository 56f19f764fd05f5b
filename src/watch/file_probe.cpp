// file_probe.cpp: read leases as a test for writers, and file stamps.
#include "watch/file_probe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vellumd {

namespace {
FileStamp stampFrom(const struct stat& info) {
  return FileStamp{info.st_ino, info.st_size, info.st_mtim};
}

// While a lease is held, a writer's open() makes the kernel signal the holder: SIGIO unless
// F_SETSIG names another, and SIGIO would end the daemon. SIGWINCH is ignored by default, so its
// disposition (which handlers inherit) stays untouched and the signal is simply dropped.
constexpr int kLeaseBreakSignal = SIGWINCH;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;  // owned; -1 when the open failed
};
}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return inode == other.inode && size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec;
}

WriterState probeWriters(const std::string& path, FileStamp& stamp) {
  // O_NONBLOCK: should a writer's lease stand in the way, the open fails instead of waiting.
  Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) return WriterState::kUnknown;
  struct stat info;
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return WriterState::kUnknown;
  if (fcntl(file.get(), F_SETSIG, kLeaseBreakSignal) != 0) return WriterState::kUnknown;
  if (fcntl(file.get(), F_SETLEASE, F_RDLCK) != 0) {
    // EAGAIN: open for writing somewhere. EACCES, EPERM (not the owner, no CAP_LEASE) and
    // EINVAL (a filesystem without leases) leave the question open.
    return errno == EAGAIN ? WriterState::kWriter : WriterState::kUnknown;
  }
  // Taken while the lease holds, when no writer can have the file open: the stamp is of the
  // complete contents.
  bool stamped = fstat(file.get(), &info) == 0;
  fcntl(file.get(), F_SETLEASE, F_UNLCK);
  if (!stamped) return WriterState::kUnknown;
  stamp = stampFrom(info);
  return WriterState::kNoWriter;
}

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return std::nullopt;
  return stampFrom(info);
}

}  // namespace vellumd
