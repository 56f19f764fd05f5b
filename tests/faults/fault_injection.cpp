// fault_injection.cpp: a test-only LD_PRELOAD library that makes one chosen system call fail, or
// stops the daemon at a chosen point.
//
// Read once, when the library is loaded:
//   VELLUMD_FAULT_CALL      inotify_init, inotify_add_watch, read (the inotify descriptor only),
//                           poll, fork (also clone, with which the daemon starts handlers), execv
//                           or open (the null and zero devices only)
//   VELLUMD_FAULT_PATH      for open: "/dev/null" or "/dev/zero" (default: either)
//   VELLUMD_FAULT_AFTER     how many of those calls succeed before the first failure (default 0)
//   VELLUMD_FAULT_TIMES     how many fail in a row, or "always" (default 1)
//   VELLUMD_FAULT_ERRNO     the errno of a failure, by name (ENOSPC) or number (default EIO)
//   VELLUMD_FAULT_FORK_DELAY_MS  a pause before every fork() and clone(), to make handler starts
//                                slow
//   VELLUMD_FAULT_STOP_AT   a file name: the first open of a path whose last component is that name
//                           stops the process (SIGSTOP) once the open has been made, so that a
//                           test acts at exactly that point and then continues it (SIGCONT)
//   VELLUMD_FAULT_STOP_AT_NEXT_READ  "1": once continued from that stop, the process stops again
//                           just before its next read of the inotify descriptor, with what it
//                           decided meanwhile done and the records queued meanwhile still unread
//   VELLUMD_FAULT_STOP_AT_LEASE  "1": the first read lease the process takes stops it, the lease
//                           held, so that a writer's open meets it
// Calls other than inotify_init count only once inotify_init has been called: what the daemon
// does before it builds its registry (detaching, opening the null device) is left alone.
//
// The count lives in memory shared with every process forked from the one that loaded the
// library, so "the N-th call" means the N-th over the daemon and its handler children together
// (only the daemon forks; only children exec and open the devices). The library removes itself
// and its variables from the environment, so that the handler programs run without it. What runs
// in a child between fork and exec is async-signal-safe: an atomic increment and errno.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

enum class Call { kNone, kInotifyInit, kInotifyAddWatch, kRead, kPoll, kFork, kExecv, kOpen };

struct Config {
  Call call = Call::kNone;
  const char* path = nullptr;  // for kOpen: the one device that fails; null: both
  long after = 0;
  long times = 1;  // -1: always
  int error = EIO;
  long forkDelayMs = 0;
  const char* stopAt = nullptr;  // the file name whose first open stops the process; null: none
  bool stopAtNextRead = false;   // after that stop, stop again before the next inotify read
  bool stopAtLease = false;      // the first read lease taken stops the process
};

Config config;
char faultedPath[64];
char stopName[256];
bool stopDone = false;       // the open named by stopAt was made and stopped the process
bool readStopDone = false;   // the read after it stopped the process too
bool leaseStopDone = false;  // a read lease was taken and stopped the process
std::atomic<long> localCount{0};
std::atomic<long>* callCount = &localCount;  // points into shared memory once it is mapped
bool armed = false;                          // inotify_init has been called in this process
int inotifyFd = -1;                          // the descriptor inotify_init returned

// The definitions these calls pass on to, looked up when the library is loaded: a child between
// fork and exec must not call dlsym().
int (*realInotifyInit)();
int (*realInotifyInit1)(int);
int (*realInotifyAddWatch)(int, const char*, uint32_t);
ssize_t (*realRead)(int, void*, size_t);
int (*realPoll)(struct pollfd*, nfds_t, int);
pid_t (*realFork)();
int (*realClone)(int (*)(void*), void*, int, void*, ...);
int (*realExecv)(const char*, char* const[]);
int (*realOpen)(const char*, int, ...);
int (*realOpen64)(const char*, int, ...);
int (*realOpenat)(int, const char*, int, ...);
int (*realFcntl)(int, int, ...);

template <typename Function>
void resolve(Function& function, const char* name) {
  if (function == nullptr)
    function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void resolveAll() {
  resolve(realInotifyInit, "inotify_init");
  resolve(realInotifyInit1, "inotify_init1");
  resolve(realInotifyAddWatch, "inotify_add_watch");
  resolve(realRead, "read");
  resolve(realPoll, "poll");
  resolve(realFork, "fork");
  resolve(realClone, "clone");
  resolve(realExecv, "execv");
  resolve(realOpen, "open");
  resolve(realOpen64, "open64");
  resolve(realOpenat, "openat");
  resolve(realFcntl, "fcntl");
}

int errnoByName(const char* text) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"EPERM", EPERM},     {"ENOENT", ENOENT}, {"EINTR", EINTR},    {"EIO", EIO},
                {"ENOEXEC", ENOEXEC}, {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},  {"EACCES", EACCES},
                {"EINVAL", EINVAL},   {"ENFILE", ENFILE}, {"EMFILE", EMFILE},  {"ENOSPC", ENOSPC},
                {"ENOSYS", ENOSYS},   {"ENODEV", ENODEV}, {"ENOTDIR", ENOTDIR}};
  for (const auto& entry : kNames) {
    if (strcmp(text, entry.name) == 0)
      return entry.value;
  }
  return atoi(text);
}

Call callByName(const char* text) {
  static const struct {
    const char* name;
    Call call;
  } kNames[] = {{"inotify_init", Call::kInotifyInit},
                {"inotify_add_watch", Call::kInotifyAddWatch},
                {"read", Call::kRead},
                {"poll", Call::kPoll},
                {"fork", Call::kFork},
                {"execv", Call::kExecv},
                {"open", Call::kOpen}};
  for (const auto& entry : kNames) {
    if (strcmp(text, entry.name) == 0)
      return entry.call;
  }
  return Call::kNone;
}

__attribute__((constructor)) void readConfig() {
  resolveAll();
  if (const char* call = getenv("VELLUMD_FAULT_CALL"))
    config.call = callByName(call);
  if (const char* path = getenv("VELLUMD_FAULT_PATH")) {
    strncpy(faultedPath, path, sizeof faultedPath - 1);
    config.path = faultedPath;
  }
  if (const char* after = getenv("VELLUMD_FAULT_AFTER"))
    config.after = atol(after);
  if (const char* times = getenv("VELLUMD_FAULT_TIMES")) {
    config.times = strcmp(times, "always") == 0 ? -1 : atol(times);
  }
  if (const char* error = getenv("VELLUMD_FAULT_ERRNO"))
    config.error = errnoByName(error);
  if (const char* delay = getenv("VELLUMD_FAULT_FORK_DELAY_MS"))
    config.forkDelayMs = atol(delay);
  if (const char* name = getenv("VELLUMD_FAULT_STOP_AT")) {
    strncpy(stopName, name, sizeof stopName - 1);
    config.stopAt = stopName;
  }
  if (const char* again = getenv("VELLUMD_FAULT_STOP_AT_NEXT_READ"))
    config.stopAtNextRead = strcmp(again, "1") == 0;
  if (const char* lease = getenv("VELLUMD_FAULT_STOP_AT_LEASE"))
    config.stopAtLease = strcmp(lease, "1") == 0;
  void* shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared != MAP_FAILED)
    callCount = new (shared) std::atomic<long>(0);
  for (const char* name : {"LD_PRELOAD", "VELLUMD_FAULT_CALL", "VELLUMD_FAULT_PATH",
                           "VELLUMD_FAULT_AFTER", "VELLUMD_FAULT_TIMES", "VELLUMD_FAULT_ERRNO",
                           "VELLUMD_FAULT_FORK_DELAY_MS", "VELLUMD_FAULT_STOP_AT",
                           "VELLUMD_FAULT_STOP_AT_NEXT_READ", "VELLUMD_FAULT_STOP_AT_LEASE"}) {
    unsetenv(name);
  }
}

// Counts one call of `call` and tells whether it is to fail; sets errno when it is.
bool failNow(Call call) {
  if (call != config.call || (call != Call::kInotifyInit && !armed))
    return false;
  const long index = callCount->fetch_add(1);
  if (index < config.after)
    return false;
  if (config.times >= 0 && index >= config.after + config.times)
    return false;
  errno = config.error;
  return true;
}

bool isFaultedDevice(const char* path) {
  if (path == nullptr)
    return false;
  if (config.path != nullptr)
    return strcmp(path, config.path) == 0;
  return strcmp(path, "/dev/null") == 0 || strcmp(path, "/dev/zero") == 0;
}

// Stops the process after the first open of a path whose last component is config.stopAt.
void stopIfNamed(const char* path) {
  if (config.stopAt == nullptr || !armed || stopDone || path == nullptr)
    return;
  const char* slash = strrchr(path, '/');
  if (strcmp(slash != nullptr ? slash + 1 : path, config.stopAt) != 0)
    return;
  stopDone = true;
  const int saved = errno;
  kill(getpid(), SIGSTOP);
  errno = saved;
}

// Stops the process before the first read of the inotify descriptor after the stop at an open.
void stopBeforeRead() {
  if (!config.stopAtNextRead || !stopDone || readStopDone)
    return;
  readStopDone = true;
  kill(getpid(), SIGSTOP);
}

mode_t modeArgument(int flags, va_list args) {
  const bool takesMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return takesMode ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int inotify_init() {
  resolveAll();
  armed = true;
  if (failNow(Call::kInotifyInit))
    return -1;
  inotifyFd = realInotifyInit();
  return inotifyFd;
}

// The same fault as inotify_init: the daemon opens its instance close-on-exec.
int inotify_init1(int flags) {
  resolveAll();
  armed = true;
  if (failNow(Call::kInotifyInit))
    return -1;
  inotifyFd = realInotifyInit1(flags);
  return inotifyFd;
}

int inotify_add_watch(int fd, const char* path, uint32_t mask) {
  resolveAll();
  if (failNow(Call::kInotifyAddWatch))
    return -1;
  return realInotifyAddWatch(fd, path, mask);
}

ssize_t read(int fd, void* buffer, size_t count) {
  resolveAll();
  if (fd >= 0 && fd == inotifyFd) {
    stopBeforeRead();
    if (failNow(Call::kRead))
      return -1;
  }
  return realRead(fd, buffer, count);
}

ssize_t __read_chk(int fd, void* buffer, size_t count, size_t) {
  return read(fd, buffer, count);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  resolveAll();
  if (failNow(Call::kPoll))
    return -1;
  return realPoll(fds, count, timeout);
}

int __poll_chk(struct pollfd* fds, nfds_t count, int timeout, size_t) {
  return poll(fds, count, timeout);
}

// The delay and the failure of a process creation, shared by fork() and clone().
bool processCreationFails() {
  resolveAll();
  if (armed && config.forkDelayMs > 0) {
    timespec pause = {config.forkDelayMs / 1000, (config.forkDelayMs % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
  return failNow(Call::kFork);
}

pid_t fork() {
  if (processCreationFails())
    return -1;
  return realFork();
}

// The daemon starts its handlers with clone() (a child sharing its memory until the exec):
// "fork" faults apply to it as well.
int clone(int (*function)(void*), void* stack, int flags, void* argument, ...) {
  // The optional arguments exist only when a flag asks for them.
  pid_t* parentTid = nullptr;
  void* tls = nullptr;
  pid_t* childTid = nullptr;
  if (flags & (CLONE_PARENT_SETTID | CLONE_SETTLS | CLONE_CHILD_SETTID | CLONE_CHILD_CLEARTID |
               CLONE_PIDFD)) {
    va_list extra;
    va_start(extra, argument);
    parentTid = va_arg(extra, pid_t*);
    tls = va_arg(extra, void*);
    childTid = va_arg(extra, pid_t*);
    va_end(extra);
  }
  if (processCreationFails())
    return -1;
  return realClone(function, stack, flags, argument, parentTid, tls, childTid);
}

int execv(const char* path, char* const argv[]) {
  resolveAll();
  if (failNow(Call::kExecv))
    return -1;
  return realExecv(path, argv);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  resolveAll();
  if (isFaultedDevice(path) && failNow(Call::kOpen))
    return -1;
  const int fd = realOpen(path, flags, mode);
  stopIfNamed(path);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  resolveAll();
  if (isFaultedDevice(path) && failNow(Call::kOpen))
    return -1;
  const int fd = realOpen64(path, flags, mode);
  stopIfNamed(path);
  return fd;
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  resolveAll();
  if (isFaultedDevice(path) && failNow(Call::kOpen))
    return -1;
  const int fd = realOpenat(dirfd, path, flags, mode);
  stopIfNamed(path);
  return fd;
}

// The argument is passed on as a pointer, as the C library itself reads it, whatever the command.
int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  resolveAll();
  const int result = realFcntl(fd, command, argument);
  if (config.stopAtLease && armed && !leaseStopDone && command == F_SETLEASE &&
      reinterpret_cast<long>(argument) == F_RDLCK && result == 0) {
    leaseStopDone = true;
    kill(getpid(), SIGSTOP);
  }
  return result;
}

int __open_2(const char* path, int flags) {
  return open(path, flags);
}

}  // extern "C"
