// descriptor.h: Descriptor, the owner of one open file descriptor. The bottom floor: used wherever
// the daemon holds a descriptor, the inotify instance and the log among them: every way out of a
// function, and every owner's destructor, closes it.
#pragma once

#include <unistd.h>

#include <utility>

namespace vellumd {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  // Takes `other`'s descriptor; the one held until now is closed with `other`.
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0)
      close(fd_);
  }

  int get() const { return fd_; }
  // Gives the descriptor to the caller, who closes it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;  // -1: none
};

}  // namespace vellumd
