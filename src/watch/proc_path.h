// proc_path.h: "/proc/self/fd/N", the path by which the kernel reaches exactly the file open as N,
// whatever its name leads to by now. Watches are placed and identities checked through it.
#pragma once

#include <cstdio>
#include <string>

namespace vellumd {

// Built in place, since one is made for every directory watched.
class ProcPath {
 public:
  explicit ProcPath(int fd) { snprintf(text_, sizeof text_, "/proc/self/fd/%d", fd); }
  const char* c_str() const { return text_; }
  std::string str() const { return text_; }

 private:
  char text_[32];
};

// True when /proc/self/fd paths can be used (a sandbox or a chroot may lack /proc): only then is
// a watch placed on exactly the directory read, and a directory's identity asked of the kernel.
bool procFdsUsable();

}  // namespace vellumd
