// own_file.cpp: the checks on the daemon's own files and their directories.
#include "log/own_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vellumd {

bool isTrustedOwner(uid_t uid) {
  return uid == 0 || uid == geteuid();
}

bool othersCanWrite(const struct stat& directory) {
  // Who belongs to a group cannot be told from the directory, and an access control list that
  // lets another user write shows its mask in the group bits: any group write counts.
  return !isTrustedOwner(directory.st_uid) || (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool inDirectoryOthersCanWrite(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  struct stat info;
  return stat(directory.c_str(), &info) == 0 && othersCanWrite(info);
}

int openOwnFile(int directory, const std::string& name, int flags, mode_t mode, bool mustOwn,
                std::string& why) {
  const int fd =
      openat(directory, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) {
    const int error = errno;
    // O_NOFOLLOW fails a link with ELOOP, and a FIFO or socket opened for writing with no reader
    // fails with ENXIO: say what the name is instead.
    struct stat info;
    if ((error == ELOOP || error == ENXIO) &&
        fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      why = S_ISLNK(info.st_mode) ? "Is a symbolic link" : "Not a regular file";
    } else {
      why = strerror(error);
    }
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    why = strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    why = "Not a regular file";
  } else if (mustOwn && !isTrustedOwner(info.st_uid)) {
    why = "Owned by uid " + std::to_string(info.st_uid);
  } else if ((flags & O_NONBLOCK) == 0 &&
             fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    why = strerror(errno);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace vellumd
