// file_probe.h: a read lease on one file, the daemon's way of learning whether some process
// still has a file open for writing, and of keeping writers out for a moment. Used by the
// dispatch when it looks at the files already inside a new directory.
#pragma once

#include <string>

#include "base/descriptor.h"

namespace vellumd {

enum class WriterState {
  kNoWriter,  // nobody has it open for writing: it is complete
  kWriter,    // some process has it open for writing: its close is still to come
  kUnknown,   // cannot tell (no permission for a lease, a filesystem without leases)
  kGone,      // no longer a regular file by that name: nothing to look at
};

// Owns a read-only descriptor of one regular file and, while held, a read lease on it. The kernel
// refuses the lease while any process has the file open for writing, and while the lease is held
// no process can open it for writing: such an open waits (or fails, with O_NONBLOCK) until the
// lease is given back. Taking and giving back a lease changes no signal disposition.
class ReadLease {
 public:
  ReadLease() = default;
  ReadLease(ReadLease&& other) noexcept;
  ReadLease& operator=(ReadLease&& other) noexcept;
  ReadLease(const ReadLease&) = delete;
  ReadLease& operator=(const ReadLease&) = delete;
  virtual ~ReadLease();  // gives the lease back and closes the descriptor

  // Opens the regular file `name` in the directory open as `directoryFd` (links not followed)
  // and asks for the lease. On kNoWriter the lease is held until release() or destruction;
  // otherwise nothing is held. REQUIRES: !held().
  WriterState take(int directoryFd, const std::string& name);
  void release();
  bool held() const { return fd_.get() >= 0; }
  // True when a writer's open() is waiting for the lease to be given back: the file was being
  // opened for writing as the lease was taken (its creation came first), and is not complete.
  bool breaking() const;
  // The descriptor of the leased file. REQUIRES: held().
  int fd() const { return fd_.get(); }

 private:
  Descriptor fd_;  // open exactly while the lease is held
};

}  // namespace vellumd
