// metrics_file.cpp: replacing a file whole, through no link.
#include "driver/metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/descriptor.h"

namespace vellumd {

namespace {

constexpr mode_t kMode = 0644;

// Creates `path` for the daemon alone to write: never an existing name, never through a final
// link, close-on-exec so that no handler inherits it. Returns the descriptor, or -1 with errno.
int createOwnFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kMode);
  // The umask may have narrowed the mode; the file is meant for a collector of another user.
  if (fd >= 0 && fchmod(fd, kMode) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Removes a temporary that an earlier daemon left behind when it stopped mid-write. Only a
// regular file of this user: a name someone else planted stays, and the exclusive create then
// fails on it.
void removeOwnLeftover(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid())
    unlink(path.c_str());
}

// Returns 0, or the errno of the write that failed.
int writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0)
      return errno;
    if (count == 0)
      return EIO;
    done += static_cast<size_t>(count);
  }
  return 0;
}

}  // namespace

MetricsFile::MetricsFile(const std::string& path) : path_(path), temporary_(path + ".tmp") {}

MetricsFile::~MetricsFile() = default;

std::string MetricsFile::replace(const std::string& text) {
  // The rename would replace a link itself rather than follow it; still, a link or a special
  // file where the operator named the metrics file is not the daemon's to replace.
  struct stat info;
  if (lstat(path_.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode))
      return "is a link";
    if (!S_ISREG(info.st_mode))
      return "is not a regular file";
  } else if (errno != ENOENT) {
    return strerror(errno);
  }
  removeOwnLeftover(temporary_);
  Descriptor file(createOwnFile(temporary_));
  if (file.get() < 0)
    return strerror(errno);
  int error = writeAll(file.get(), text);
  if (error == 0 && close(file.release()) != 0)
    error = errno;
  if (error == 0 && rename(temporary_.c_str(), path_.c_str()) != 0)
    error = errno;
  if (error != 0) {
    unlink(temporary_.c_str());
    return strerror(error);
  }
  return "";
}

}  // namespace vellumd
