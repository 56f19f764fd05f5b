// cmd_exec.h: starts a program with fork() and execv(), its standard descriptors on fixed
// devices or on pipes that the caller pumps from and into streams.
//
// The daemon builds one CmdExec per handler run, calls run() with no streams and keeps only the
// child's PID: its run queue reaps it. Streams and wait() serve callers that want the program's
// output.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace vellumd {

// The child's standard input when the caller gives no input stream, and its output and error
// when the caller gives no stream for them.
extern const std::string kZeroDevice;  // "/dev/zero"
extern const std::string kNullDevice;  // "/dev/null"

// One pipe's two descriptors, for CmdExec::run() when the caller gives streams. Owns whichever
// ends are open; -1 marks a closed end.
class Pipe {
 public:
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  virtual ~Pipe();  // closes both ends

  // Creates the pipe (without close-on-exec). Throws ExecError "pipe open fail".
  void open();
  // Closes the read end, then the write end.
  void close();
  void closeRead();
  void closeWrite();

  int readEnd() const { return fds[0]; }
  int writeEnd() const { return fds[1]; }

 private:
  int fds[2] = {-1, -1};  // [0] read end, [1] write end; -1 when not open
};

// One program invocation. Owns its path and argument strings, nothing of the child.
class CmdExec {
 public:
  // Copies `path` and the strings of `argv` (null-terminated, argument zero first).
  // REQUIRES: argv is not null. Makes no system call.
  CmdExec(const std::string& path, const char* const* argv);
  CmdExec(const CmdExec&) = delete;
  CmdExec& operator=(const CmdExec&) = delete;
  virtual ~CmdExec();  // neither waits for nor signals the child

  // Starts the program. Each stream may be null: standard input then reads kZeroDevice, output
  // and error go to kNullDevice. Given streams are pumped concurrently (no amount of output can
  // stall it) and run() returns once input is exhausted and output and error reached their end.
  // In the caller it throws ExecError "pipe open fail" or "fork() fail".
  // With streams, the child is a forked copy: should its redirection or exec fail, it raises
  // ExecError ("redirect open fail", "execv() fail") in its own copy of the caller.
  // Without streams (the daemon's handler runs), the child shares the caller's memory until its
  // exec, so that starting it costs the same however large the caller; should it fail, it exits
  // with status 3 and run() returns with childFailure() telling why. That child leads a process
  // group of its own (its PID), so that a signal to the group reaches what it started too.
  void run(std::istream* in, std::ostream* out, std::ostream* err);

  // For the next run() without streams: the child's standard error is `fd` rather than
  // kNullDevice. The caller keeps the descriptor; -1 (the default) is kNullDevice.
  void setErrorDescriptor(int fd) { errorFd_ = fd; }

  // Waits for the child of run(). Throws ExecError "waitpid() fail" or "exit with error" (killed
  // by a signal or a non-zero status). Does nothing when run() never forked a child.
  void wait();

  int pid() const { return pid_; }
  // The errno of a failed fork() or clone(); 0 when the child was created.
  int forkError() const { return forkError_; }
  // The message of what the child of a run() without streams could not do ("redirect open
  // fail", "execv() fail"), or null when it exec'ed the program.
  const char* childFailure() const { return childFailure_; }
  // The errno of the call behind childFailure(); 0 when the child exec'ed the program.
  int childError() const { return childError_; }
  const std::string& path() const { return path_; }
  const std::vector<std::string>& args() const { return args_; }

 private:
  // run() without streams: clone() a child that shares this memory, and wait for its exec.
  void startDetached(char* const* argv);
  // The caller's side of run() when streams are given.
  void transfer(std::istream* in, std::ostream* out, std::ostream* err, Pipe& input, Pipe& output,
                Pipe& error);

  std::string path_;               // handed to execv() verbatim: no search along PATH
  std::vector<std::string> args_;  // argument zero first
  int pid_ = -1;                   // -1 until run() forks; then fork()'s result in this process
  int forkError_ = 0;              // errno of a failed fork() or clone()
  const char* childFailure_ = nullptr;  // why a detached child gave up; null when it exec'ed
  int childError_ = 0;                  // the errno of that failure
  int errorFd_ = -1;                    // the detached child's standard error; -1: kNullDevice
};

// Opens `path` write-only (created, truncated) and makes `fd` refer to it.
// Throws ExecError "redirect open fail".
void redirectTo(const char* path, int fd);

// Copies everything readable from `fd` into `out` until end of file or a read error. Does nothing
// when `out` is null or `fd` is negative.
void drainPipe(std::ostream* out, int fd);

}  // namespace vellumd
