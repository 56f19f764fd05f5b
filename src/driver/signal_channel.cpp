// signal_channel.cpp: blocking the loop's signals and reading them from a descriptor.
#include "driver/signal_channel.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "errors/errors.h"

namespace vellumd {

namespace {
constexpr int kSignals[] = {SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGPIPE};
}  // namespace

SignalChannel::SignalChannel() {
  sigset_t taken;
  sigemptyset(&taken);
  for (int number : kSignals) {
    sigaddset(&taken, number);
    signal(number, SIG_DFL);
  }
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &taken, &previous);
  fd_ = Descriptor(signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC));
  if (fd_.get() < 0) {
    const int error = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    throw SystemError("signalfd fail!!", error);
  }
}

SignalChannel::~SignalChannel() = default;

std::vector<int> SignalChannel::take() {
  std::vector<int> taken;
  for (;;) {
    signalfd_siginfo info;
    const ssize_t count = read(fd_.get(), &info, sizeof info);
    if (count == static_cast<ssize_t>(sizeof info)) {
      taken.push_back(static_cast<int>(info.ssi_signo));
      continue;
    }
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0 && errno == EAGAIN)
      return taken;
    throw SystemError("signalfd read fail!!", count < 0 ? errno : 0);
  }
}

}  // namespace vellumd
