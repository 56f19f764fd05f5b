// signal_channel.h: the signals the event loop acts on, delivered as a descriptor it polls.
//
// SignalChannel owns a signalfd for SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGUSR1 and SIGPIPE. While
// it lives, those signals are blocked, so that no work ever runs inside a signal handler: the
// loop reads them between two records. SIGPIPE is taken only so that a log on a pipe nobody
// reads any more (standard error in the foreground) fails its writes instead of ending the
// daemon. Each is given its default disposition first, since a signal inherited as ignored is
// discarded before it could be read (an ignored SIGCHLD would also make the kernel reap handlers
// unseen). Created by the event loop before the start-up scan, so that a stop or a status asked
// for during the scan waits for the loop.
#pragma once

#include <signal.h>

#include <vector>

#include "base/descriptor.h"

namespace vellumd {

class SignalChannel {
 public:
  // Throws SystemError ("signalfd fail!!").
  SignalChannel();
  SignalChannel(const SignalChannel&) = delete;
  SignalChannel& operator=(const SignalChannel&) = delete;
  // Closes the descriptor. The signals stay blocked: one that came during the daemon's exit must
  // not end it with that signal instead of its exit status.
  virtual ~SignalChannel();

  // Reads every pending signal, in the order they were read; a signal pending twice is read
  // once. Throws SystemError ("signalfd read fail!!").
  std::vector<int> take();

  int fd() const { return fd_.get(); }

 private:
  Descriptor fd_;  // the signalfd: non-blocking, close-on-exec
};

}  // namespace vellumd
