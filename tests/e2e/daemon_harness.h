// daemon_harness.h: runs the real vellumd binary on fresh temporary trees for end-to-end tests.
//
// Each test gets its own root directory under /tmp holding the watched tree ("tree"), the log
// ("vellumd.log") and a recording handler ("record-handler") that appends its argument, followed
// by a NUL byte, to "handled". The fixture ends the daemon it started, by PID, and removes the
// root, whether the test passed or not. Every wait polls with a deadline; nothing sleeps blindly.
// A daemon started in the foreground is this process's child, in a process group of its own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vellumd::e2e {

using namespace std::chrono_literals;

// What a finished process left behind.
struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number when killed
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Runs `argv` (argv[0] is the program) to its end with standard input on /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv);

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// An env(1) prefix that loads the fault library into the daemon with `settings` (VAR=value words),
// ahead of the sanitizer runtime of an instrumented daemon.
std::vector<std::string> withFaults(const std::vector<std::string>& settings);

// The vellumd binary under test.
std::string vellumdBinary();

// The whole content of a file; empty when it cannot be read.
std::string readWhole(const std::string& path);
// How often `what` occurs in `text`, overlapping occurrences included.
size_t occurrences(const std::string& text, const std::string& what);
// Creates or truncates `path` and writes `content` with plain system calls, so that a test knows
// exactly which records the kernel queues: one open, one write, one close.
void putFile(const std::string& path, const std::string& content);
// The state letter of /proc/PID/stat ('T' for stopped); '?' when it cannot be read.
char processState(pid_t pid);
// Writes an executable shell script: "#!/bin/sh", then `body`.
void writeScript(const std::string& path, const std::string& body);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int freeLocalPort();

// A file held open for writing, so that a test chooses exactly which records the kernel sends:
// one open, the writes it wants, and the close when it wants it.
class OpenFile {
 public:
  explicit OpenFile(const std::string& path, int flags = O_CREAT);
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile();  // closes the file if still open

  void write(const std::string& data);
  void close();

 private:
  int fd_;  // -1 once closed
};

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Paths inside this test's root.
  const std::string& root() const { return root_; }
  std::string target() const { return root_ + "/tree"; }
  std::string logPath() const { return root_ + "/vellumd.log"; }
  std::string handlerPath() const { return root_ + "/record-handler"; }
  std::string recordPath() const { return root_ + "/handled"; }
  // target() joined with a relative path.
  std::string inTree(const std::string& relative) const { return target() + "/" + relative; }

  // Runs vellumd with exactly `args` (no program name) and waits for the launching process.
  ProcessResult runVellumd(const std::vector<std::string>& args);

  // Starts "vellumd -t target() -h handlerPath() -L logPath()" (or `args` when given), through
  // `prefix` when given (withFaults(), say), finds the detached daemon's PID and returns once its
  // inotify descriptor holds `expectedWatches` watches (-1: one per directory found under
  // target(), target included, links not followed) and "Start as daemon..." is logged. Fails the
  // test when any of that does not happen.
  pid_t startDaemon(int expectedWatches = -1, std::vector<std::string> args = {},
                    const std::vector<std::string>& prefix = {});

  // Starts the daemon through `prefix` (for example setpriv) with the default arguments; returns
  // the launcher's result without waiting for watches. The daemon's PID, if any, is in pid().
  ProcessResult launchDaemon(const std::vector<std::string>& prefix,
                             const std::vector<std::string>& args);

  // Starts "vellumd -f" and `args` as a child of this process, in a process group of its own,
  // with `environment` (NAME=value words) added, its standard error on foregroundStderr() and
  // its standard input on /dev/null. Returns its PID without waiting for anything.
  pid_t startForeground(const std::vector<std::string>& args,
                        const std::vector<std::string>& environment = {});
  std::string foregroundStderrPath() const { return root_ + "/stderr"; }
  // The exit status of the foreground daemon once it has ended (128 + signal when killed); -1
  // when it did not end within the timeout.
  int foregroundExitStatus(std::chrono::milliseconds timeout = 10s);

  pid_t pid() const { return pid_; }
  bool daemonAlive() const;
  // Number of "inotify wd:" lines in the daemon's inotify fdinfo; -1 when it has none.
  int watchCount() const;
  // True when one of the daemon's descriptors is open on `path`.
  bool daemonHasOpen(const std::string& path) const;
  bool waitForWatches(int count, std::chrono::milliseconds timeout = 10s);
  // Makes the daemon stop where it is (SIGSTOP), and waits until it has: records queued meanwhile
  // are read late, all at once. stopDaemon() resumes it first.
  void pauseDaemon();
  void resumeDaemon();
  // For a daemon started through withFaults({"VELLUMD_FAULT_STOP_AT=NAME"}): waits until it has
  // stopped itself right after opening `path`, whose last component is NAME. resumeDaemon()
  // continues it.
  bool waitForStopAt(const std::string& path, std::chrono::milliseconds timeout = 10s);
  // Waits for the daemon to end by itself; true when it did within the timeout.
  bool waitForExit(std::chrono::milliseconds timeout = 10s);
  // Ends the daemon and the handlers it started (SIGTERM, then SIGKILL, to its process group) and
  // waits until it is gone.
  void stopDaemon();

  // Log messages, timestamps stripped. Fails the test on a line without a well-formed timestamp.
  std::vector<std::string> logMessages() const;
  bool logContains(const std::string& message) const;
  bool waitForLog(const std::string& message, std::chrono::milliseconds timeout = 10s);
  // Number of log messages equal to `message`.
  int logCount(const std::string& message) const;
  // logCount, with the repeats of `message` folded into "Last line repeated N times" lines.
  int logCountUnfolded(const std::string& message) const;

  // Paths the recording handler received, in the order it recorded them.
  std::vector<std::string> handled() const;
  // How many times the handler recorded `path`.
  int timesHandled(const std::string& path) const;
  // The log message of the handler's call for `path`.
  std::string callLine(const std::string& path) const;
  // How many handler calls the log holds.
  int callCount() const;
  // Returns once every record queued so far has been acted on and every handler started so far
  // has run: records are dispatched in order, so once a file written now has been handled, every
  // earlier record has been; and once the recordings match the logged calls, every handler has
  // recorded itself. A later check that something did not run is then conclusive.
  void settle();
  bool waitForHandled(size_t count, std::chrono::milliseconds timeout = 10s);
  // Waits until the handler ran for `path`.
  bool waitForHandledPath(const std::string& path, std::chrono::milliseconds timeout = 10s);

  // Tree helpers (paths relative to target()); each fails the test on error.
  void makeDir(const std::string& relative);
  void writeFile(const std::string& relative, const std::string& content);

 private:
  pid_t findDaemonPid(const std::vector<std::string>& argv) const;

  std::string root_;
  pid_t pid_ = -1;
  bool foreground_ = false;  // pid_ is this process's child: stopDaemon() reaps it
  int settles_ = 0;          // markers written by settle()
};

}  // namespace vellumd::e2e
