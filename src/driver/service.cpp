// service.cpp: detaching, the launcher's wait, the readiness notification and inherited
// descriptors.
#include "driver/service.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vellumd {

namespace {
constexpr char kReady[] = "ready";

void writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      return;
    done += static_cast<size_t>(count);
  }
}

// The launching process: waits until the daemon reports ("ready", or "STATUS LINE") and exits as
// told. A daemon that ends without a report is waited for, and its end passed on.
[[noreturn]] void waitForReport(int readFd, pid_t daemonPid) {
  std::string report;
  char buffer[512];
  for (;;) {
    const ssize_t count = read(readFd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      break;
    report.append(buffer, static_cast<size_t>(count));
  }
  if (report == kReady)
    _exit(0);
  const size_t blank = report.find(' ');
  if (!report.empty() && blank != std::string::npos) {
    writeAll(STDERR_FILENO, report.substr(blank + 1) + "\n");
    _exit(atoi(report.c_str()));
  }
  int status = 0;
  while (waitpid(daemonPid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string how = WIFSIGNALED(status)
                              ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exit status " + std::to_string(WEXITSTATUS(status));
  writeAll(STDERR_FILENO, "Error: The daemon ended before it was ready - " + how + "\n");
  _exit(3);
}
}  // namespace

void closeInheritedDescriptors() {
  if (close_range(STDERR_FILENO + 1, ~0U, 0) == 0)
    return;
  // Kernels before 5.9: every possible descriptor, one call each.
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = STDERR_FILENO + 1; fd < (limit > 0 ? limit : 1024); ++fd)
    close(static_cast<int>(fd));
}

ReadyReport::~ReadyReport() = default;

int ReadyReport::detach() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    return errno;
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    close(ends[0]);
    close(ends[1]);
    return error;
  }
  if (child > 0) {
    close(ends[1]);
    waitForReport(ends[0], child);
  }
  close(ends[0]);
  launcherFd_ = Descriptor(ends[1]);
  if (setsid() < 0 || chdir("/") != 0)
    return errno;
  const int devNull = open("/dev/null", O_RDWR);
  if (devNull < 0)
    return errno;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    dup2(devNull, fd);
  if (devNull > STDERR_FILENO)
    close(devNull);
  return 0;
}

void ReadyReport::takeNotifySocket() {
  if (const char* address = getenv("NOTIFY_SOCKET"))
    notifySocket_ = address;
  unsetenv("NOTIFY_SOCKET");
}

void ReadyReport::releaseLauncher() {
  if (launcherFd_.get() >= 0) {
    writeAll(launcherFd_.get(), kReady);
    launcherFd_ = Descriptor();
  }
}

std::string ReadyReport::ready() {
  releaseLauncher();
  if (notifySocket_.empty())
    return "";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // "@name" is a name in the abstract namespace: a leading NUL byte, no terminating one.
  if (notifySocket_.size() >= sizeof address.sun_path ||
      (notifySocket_.front() != '/' && notifySocket_.front() != '@'))
    return "unusable NOTIFY_SOCKET";
  memcpy(address.sun_path, notifySocket_.data(), notifySocket_.size());
  if (address.sun_path[0] == '@')
    address.sun_path[0] = '\0';
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notifySocket_.size() +
                             (notifySocket_.front() == '/' ? 1 : 0));
  notifySocket_.clear();
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return strerror(errno);
  static constexpr char kMessage[] = "READY=1";
  const ssize_t sent = sendto(fd, kMessage, sizeof kMessage - 1, MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address), length);
  const int error = errno;
  close(fd);
  return sent < 0 ? strerror(error) : "";
}

void ReadyReport::failed(int status, const std::string& line) {
  if (launcherFd_.get() < 0)
    return;
  writeAll(launcherFd_.get(), std::to_string(status) + " " + line);
  launcherFd_ = Descriptor();
}

}  // namespace vellumd
