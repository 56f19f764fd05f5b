// service.h: leaving the launcher, and telling whoever waits for the start that it is done.
//
// ReadyReport owns the way back to whoever waits: in the default mode the write end of a pipe to
// the launching process, which stays until the tree is watched (what a script that starts the
// daemon and then writes a file, or a Type=forking unit, needs); in the foreground the address of
// the service manager's notification socket (NOTIFY_SOCKET), if any. The entry function builds
// it; the event loop reports through it once, ready or failed.
#pragma once

#include <string>

#include "base/descriptor.h"

namespace vellumd {

// Closes every descriptor above standard error that the process inherited, so that no handler
// receives it. REQUIRES: called before anything of the daemon's own is opened.
void closeInheritedDescriptors();

class ReadyReport {
 public:
  ReadyReport() = default;  // reports to nobody
  ReadyReport(const ReadyReport&) = delete;
  ReadyReport& operator=(const ReadyReport&) = delete;
  virtual ~ReadyReport();  // closes the pipe's end, if still open

  // Detaches: forks; the launching process waits for the report and exits with its status (it
  // never returns from here), the daemon starts a session of its own in "/" with its standard
  // descriptors on /dev/null. Returns 0 in the daemon, or the errno of what failed.
  int detach();

  // Foreground: takes the service manager's socket from NOTIFY_SOCKET and removes the variable,
  // so that handlers cannot speak for the daemon.
  void takeNotifySocket();

  // The daemon has started and waits for its target to appear: the launcher exits with 0. The
  // service manager is told only by ready(), once the tree is watched.
  void releaseLauncher();

  // The tree is watched: the launcher exits with 0; the service manager is sent "READY=1".
  // Returns "" or, when the service manager could not be told, why.
  std::string ready();

  // The start failed with `line` (logged already): the launcher prints it on its standard error
  // and exits with `status`. Nothing happens once ready() was called.
  void failed(int status, const std::string& line);

 private:
  Descriptor launcherFd_;     // the pipe's write end, close-on-exec; none once reported
  std::string notifySocket_;  // as NOTIFY_SOCKET gave it; empty: no service manager
};

}  // namespace vellumd
