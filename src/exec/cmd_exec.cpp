// cmd_exec.cpp: fork(), redirect, execv(); and the pumping of a child's pipes.
#include "exec/cmd_exec.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "errors/errors.h"

namespace vellumd {

const std::string kZeroDevice = "/dev/zero";
const std::string kNullDevice = "/dev/null";

namespace {
constexpr size_t kChunk = 1024;

// Moves one chunk from `fd` to `out`. False at end of file or on a read error.
bool drainChunk(std::ostream* out, int fd) {
  char buffer[kChunk];
  ssize_t count = read(fd, buffer, sizeof buffer);
  if (count < 0 && errno == EINTR)
    return true;
  if (count <= 0)
    return false;
  out->write(buffer, count);
  return true;
}

// Opens `path` write-only (created, truncated) onto `fd`. False when it cannot be opened. Raises
// nothing and is uninstrumented, so that a child sharing its caller's memory may use it.
__attribute__((no_sanitize("address", "undefined"))) bool redirectOnto(const char* path, int fd) {
  int opened = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (opened < 0)
    return false;
  dup2(opened, fd);
  ::close(opened);
  return true;
}

// What the child of a start without streams needs, all prepared before the clone, and what it
// reports back: it shares its caller's memory until its exec.
struct DetachedChild {
  const char* path;
  char* const* argv;
  const char* zeroDevice;
  const char* nullDevice;
  int errorFd;                    // standard error; -1: nullDevice
  sigset_t callerMask;            // the caller's, put back once the child is gone
  const char* failure = nullptr;  // set by the child when it gives up: the ExecError message
  int error = 0;                  // and the errno of the call that failed
};

// Gives every signal its default action in a child about to exec: a disposition the daemon
// inherited as ignored would otherwise pass to the handler (an ignored SIGCHLD makes every
// waitpid() of the handler's own children fail). Caught signals need it too: their handlers'
// code is the daemon's, and this child shares the daemon's memory.
__attribute__((no_sanitize("address", "undefined"))) void defaultEverySignal() {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction current;
    if (number == SIGKILL || number == SIGSTOP || sigaction(number, nullptr, &current) != 0)
      continue;
    if (current.sa_handler != SIG_DFL)
      sigaction(number, &defaultAction, nullptr);
  }
}

// Tells the caller why the child of a start without streams gives up, and ends that child. errno
// is the caller's too (the child shares its thread storage): it is read before anything else.
[[noreturn]] __attribute__((no_sanitize("address", "undefined"))) void giveUp(DetachedChild* child,
                                                                              const char* failure) {
  child->error = errno;
  child->failure = failure;
  _exit(3);
}

// The child of a start without streams. It runs on a stack of its own in the caller's memory
// while the caller waits: it only redirects descriptors, resets signals and execs, and when it
// cannot, it says why and leaves with status 3. Uninstrumented, since its stack is not one the
// sanitizers know. The handler starts as a fresh program would: every signal at its default
// action and none blocked, whatever the daemon blocks for its signal descriptor.
__attribute__((no_sanitize("address", "undefined"))) int startDetachedChild(void* arg) {
  auto* child = static_cast<DetachedChild*>(arg);
  int zero = ::open(child->zeroDevice, O_RDONLY);
  if (zero < 0)
    giveUp(child, "redirect open fail");
  dup2(zero, 0);
  ::close(zero);
  if (!redirectOnto(child->nullDevice, 1))
    giveUp(child, "redirect open fail");
  if (child->errorFd >= 0 ? dup2(child->errorFd, 2) < 0 : !redirectOnto(child->nullDevice, 2))
    giveUp(child, "redirect open fail");
  setpgid(0, 0);
  defaultEverySignal();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(child->path, child->argv);
  giveUp(child, "execv() fail");
}

// The stack the detached child runs on: one, mapped at the first start and kept, since the
// caller (single-threaded) waits until its child is done with it. There is no guard page; the
// child needs well under a page. Null when it cannot be mapped yet; the next start tries again.
char* detachedChildStackTop() {
  static constexpr size_t kSize = 256 * 1024;
  static void* stack = MAP_FAILED;
  if (stack == MAP_FAILED) {
    stack = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                 -1, 0);
  }
  return stack == MAP_FAILED ? nullptr : static_cast<char*>(stack) + kSize;
}

// Keeps SIGPIPE from ending the caller while it feeds a child that closed its standard input
// early; the write then simply fails with EPIPE. Restores the mask and discards a SIGPIPE that
// arrived meanwhile.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipeOnly_);
    sigaddset(&pipeOnly_, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipeOnly_, &previous_);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;
  ~SigpipeBlock() {
    const timespec noWait = {0, 0};
    while (sigtimedwait(&pipeOnly_, nullptr, &noWait) > 0) {
    }
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t pipeOnly_;
  sigset_t previous_;
};
}  // namespace

Pipe::~Pipe() {
  close();
}

void Pipe::open() {
  if (pipe(fds) != 0) {
    fds[0] = fds[1] = -1;
    throw ExecError("pipe open fail");
  }
}

void Pipe::close() {
  closeRead();
  closeWrite();
}

void Pipe::closeRead() {
  if (fds[0] >= 0)
    ::close(fds[0]);
  fds[0] = -1;
}

void Pipe::closeWrite() {
  if (fds[1] >= 0)
    ::close(fds[1]);
  fds[1] = -1;
}

CmdExec::CmdExec(const std::string& path, const char* const* argv) : path_(path) {
  for (; *argv != nullptr; ++argv)
    args_.emplace_back(*argv);
}

CmdExec::~CmdExec() = default;

void CmdExec::run(std::istream* in, std::ostream* out, std::ostream* err) {
  // Built before the fork, so that the child allocates nothing between fork and exec.
  std::vector<char*> argv;
  argv.reserve(args_.size() + 1);
  for (std::string& arg : args_)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  if (in == nullptr && out == nullptr && err == nullptr) {
    startDetached(argv.data());
    return;
  }

  // Declared in this order so that unwinding closes the error, output and input pipe.
  Pipe input;
  Pipe output;
  Pipe error;
  if (in != nullptr)
    input.open();
  if (out != nullptr)
    output.open();
  if (err != nullptr)
    error.open();

  pid_ = fork();
  if (pid_ < 0) {
    forkError_ = errno;
    throw ExecError("fork() fail");
  }

  if (pid_ == 0) {
    // The child: only redirect descriptors, then exec.
    if (in == nullptr) {
      int zero = ::open(kZeroDevice.c_str(), O_RDONLY);
      if (zero < 0)
        throw ExecError("redirect open fail");
      dup2(zero, 0);
      ::close(zero);
    } else if (input.readEnd() >= 0) {
      dup2(input.readEnd(), 0);
    }
    if (out == nullptr) {
      redirectTo(kNullDevice.c_str(), 1);
    } else if (output.writeEnd() >= 0) {
      dup2(output.writeEnd(), 1);
    }
    if (err == nullptr) {
      redirectTo(kNullDevice.c_str(), 2);
    } else if (error.writeEnd() >= 0) {
      dup2(error.writeEnd(), 2);
    }
    input.close();
    output.close();
    error.close();
    execv(path_.c_str(), argv.data());
    throw ExecError("execv() fail");
  }

  input.closeRead();
  output.closeWrite();
  error.closeWrite();
  if (in != nullptr || out != nullptr || err != nullptr) {
    transfer(in, out, err, input, output, error);
  }
}

void CmdExec::startDetached(char* const* argv) {
  // fork() copies the page tables of the whole daemon, a cost that grows with the tree it
  // watches. The child of a clone() sharing this memory, on a stack of its own, copies nothing;
  // this process waits (CLONE_VFORK) until the child has exec'ed or given up.
  char* stackTop = detachedChildStackTop();
  if (stackTop == nullptr) {
    forkError_ = ENOMEM;
    throw ExecError("fork() fail");
  }
  DetachedChild child{path_.c_str(), argv, kZeroDevice.c_str(), kNullDevice.c_str(), errorFd_, {}};
  // The child shares this thread's storage, errno included: what its failed calls leave there
  // is not this process's concern.
  const int errnoBefore = errno;
  // No signal handler may run in the child while it shares this memory.
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &child.callerMask);
  pid_ = clone(startDetachedChild, stackTop, CLONE_VM | CLONE_VFORK | SIGCHLD, &child);
  const int error = errno;
  sigprocmask(SIG_SETMASK, &child.callerMask, nullptr);
  if (pid_ < 0) {
    forkError_ = error;
    throw ExecError("fork() fail");
  }
  // The child made its own group before its exec; this is the caller's half of the usual pair,
  // which fails harmlessly (EACCES) once the child has exec'ed.
  setpgid(pid_, pid_);
  errno = errnoBefore;
  childFailure_ = child.failure;
  childError_ = child.error;
}

void CmdExec::transfer(std::istream* in, std::ostream* out, std::ostream* err, Pipe& input,
                       Pipe& output, Pipe& error) {
  // Fed and drained together: done one after the other, a child that fills one pipe while the
  // caller waits on another would stall both processes for ever.
  SigpipeBlock sigpipeBlock;
  char chunk[kChunk];
  size_t chunkSize = 0;
  size_t chunkSent = 0;
  while (input.writeEnd() >= 0 || output.readEnd() >= 0 || error.readEnd() >= 0) {
    pollfd fds[3] = {{input.writeEnd(), POLLOUT, 0},
                     {output.readEnd(), POLLIN, 0},
                     {error.readEnd(), POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (fds[0].revents != 0) {
      if (chunkSent == chunkSize) {
        std::streamsize got = in->fail() ? 0 : in->readsome(chunk, sizeof chunk);
        chunkSize = got > 0 ? static_cast<size_t>(got) : 0;
        chunkSent = 0;
      }
      bool childGone = (fds[0].revents & (POLLERR | POLLHUP)) != 0;
      if (chunkSize == 0 || childGone) {
        // Input exhausted, or the child no longer reads it: its standard input ends here.
        input.close();
      } else {
        ssize_t written = write(input.writeEnd(), chunk + chunkSent, chunkSize - chunkSent);
        if (written > 0) {
          chunkSent += static_cast<size_t>(written);
        } else if (errno != EINTR && errno != EAGAIN) {
          input.close();
        }
      }
    }
    if (fds[1].revents != 0 && !drainChunk(out, output.readEnd()))
      output.close();
    if (fds[2].revents != 0 && !drainChunk(err, error.readEnd()))
      error.close();
  }
  input.close();
  output.close();
  error.close();
}

void CmdExec::wait() {
  if (pid_ <= 0)
    return;
  int status = 0;
  if (waitpid(pid_, &status, 0) <= 0)
    throw ExecError("waitpid() fail");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw ExecError("exit with error");
  }
}

void redirectTo(const char* path, int fd) {
  if (!redirectOnto(path, fd))
    throw ExecError("redirect open fail");
}

void drainPipe(std::ostream* out, int fd) {
  if (out == nullptr || fd < 0)
    return;
  while (drainChunk(out, fd)) {
  }
}

}  // namespace vellumd
