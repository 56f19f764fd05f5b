// cmd_exec_test.cpp: starting programs with fork and execv, their descriptors, their streams and
// how waiting for them ends.
#include "exec/cmd_exec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "errors/errors.h"

namespace vellumd {
namespace {

namespace fs = std::filesystem;

constexpr int kChildFailed = 97;

// run() forks a copy of this test binary. Should that copy fail before its exec, it must not go on
// to run the rest of the suite: it writes the error's text to `reportFd` and ends at once.
void runContained(CmdExec& cmd, std::istream* in, std::ostream* out, std::ostream* err,
                  int reportFd = -1) {
  const pid_t self = getpid();
  try {
    cmd.run(in, out, err);
  } catch (const std::exception& error) {
    if (getpid() == self)
      throw;
    if (reportFd >= 0 && write(reportFd, error.what(), strlen(error.what())) < 0) {
    }
    _exit(kChildFailed);
  } catch (...) {
    if (getpid() == self)
      throw;
    _exit(kChildFailed);
  }
}

// The ExecError text of wait(), or "" when it returned.
std::string waitOutcome(CmdExec& cmd) {
  try {
    cmd.wait();
  } catch (const ExecError& error) {
    return error.what();
  }
  return "";
}

// Runs `sh -c script` with the given streams and waits for it.
std::string runShell(const std::string& script, std::istream* in, std::ostream* out,
                     std::ostream* err) {
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  CmdExec cmd("/bin/sh", argv);
  runContained(cmd, in, out, err);
  return waitOutcome(cmd);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

size_t openDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// Ends the test binary loudly if a transfer deadlocks, instead of hanging the run.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds) { alarm(seconds); }
  ~Watchdog() { alarm(0); }
};

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vellumd_exec_XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(CmdExecTest, CopiesPathAndArgumentsAndStartsWithoutAChild) {
  char zero[] = "handler";
  char one[] = "/srv/in/a.txt";
  const char* argv[] = {zero, one, nullptr};
  CmdExec cmd("/usr/local/bin/handler", argv);
  zero[0] = 'X';
  argv[1] = "changed";
  EXPECT_EQ(cmd.path(), "/usr/local/bin/handler");
  EXPECT_EQ(cmd.args(), (std::vector<std::string>{"handler", "/srv/in/a.txt"}));
  EXPECT_EQ(cmd.pid(), -1);
  EXPECT_EQ(waitOutcome(cmd), "");  // never run: nothing to wait for

  const char* empty[] = {nullptr};
  EXPECT_TRUE(CmdExec("/bin/true", empty).args().empty());
}

TEST(CmdExecTest, WaitPassesOnlyANormalExitWithStatusZero) {
  EXPECT_EQ(runShell("exit 0", nullptr, nullptr, nullptr), "");
  EXPECT_EQ(runShell("exit 3", nullptr, nullptr, nullptr), "exit with error");
  EXPECT_EQ(runShell("kill -TERM $$", nullptr, nullptr, nullptr), "exit with error");
}

// run() without streams returns once the child exists: a slow program holds up nothing.
TEST(CmdExecTest, RunReturnsAtOnceAndASecondWaitFails) {
  const char* argv[] = {"sleep", "30", nullptr};
  CmdExec cmd("/bin/sleep", argv);
  const auto start = std::chrono::steady_clock::now();
  runContained(cmd, nullptr, nullptr, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_GT(cmd.pid(), 0);
  ASSERT_EQ(kill(cmd.pid(), SIGKILL), 0);
  EXPECT_EQ(waitOutcome(cmd), "exit with error");
  EXPECT_EQ(waitOutcome(cmd), "waitpid() fail");
}

// Without streams the child shares the caller's memory until its exec: a failed exec is told back
// through childFailure(), run() returns normally, and the child leaves with status 3.
TEST(CmdExecTest, NonExecutablePathWithoutStreamsIsReportedBackAndTheChildExitsThree) {
  TempDir dir;
  const std::string notExecutable = dir.path("plain");
  std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
  for (const auto& [path, error] :
       {std::pair{notExecutable, EACCES}, {dir.path("missing"), ENOENT}}) {
    const char* argv[] = {path.c_str(), "x", nullptr};
    CmdExec cmd(path, argv);
    EXPECT_NO_THROW(cmd.run(nullptr, nullptr, nullptr));
    ASSERT_GT(cmd.pid(), 0);
    ASSERT_NE(cmd.childFailure(), nullptr) << path;
    EXPECT_STREQ(cmd.childFailure(), "execv() fail") << path;
    EXPECT_EQ(cmd.childError(), error) << path;
    int status = 0;
    ASSERT_EQ(waitpid(cmd.pid(), &status, 0), cmd.pid());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << path;
  }
}

// With streams the child is a forked copy: its exec failure is raised in that copy only, and the
// caller's run() returns normally.
TEST(CmdExecTest, NonExecutablePathWithStreamsFailsInTheForkedChildOnly) {
  TempDir dir;
  const std::string notExecutable = dir.path("plain");
  std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const char* argv[] = {notExecutable.c_str(), nullptr};
  CmdExec cmd(notExecutable, argv);
  std::ostringstream out;
  EXPECT_NO_THROW(runContained(cmd, nullptr, &out, nullptr, report[1]));
  close(report[1]);
  ASSERT_GT(cmd.pid(), 0);
  EXPECT_EQ(cmd.childFailure(), nullptr);
  std::string text;
  char chunk[64];
  for (ssize_t got; (got = read(report[0], chunk, sizeof chunk)) > 0;)
    text.append(chunk, got);
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(cmd.pid(), &status, 0), cmd.pid());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kChildFailed);
  EXPECT_EQ(text, "execv() fail");
}

TEST(CmdExecStreamsTest, InputComesBackOnOutputAndNoDescriptorIsLeft) {
  const size_t before = openDescriptorCount();
  std::istringstream in("hello\nworld");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(runShell("cat; echo oops >&2", &in, &out, &err), "");
  EXPECT_EQ(out.str(), "hello\nworld");
  EXPECT_EQ(err.str(), "oops\n");
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(CmdExecStreamsTest, OnlyTheGivenStreamsArePiped) {
  std::ostringstream out;
  EXPECT_EQ(runShell("echo to-out; echo to-err >&2", nullptr, &out, nullptr), "");
  EXPECT_EQ(out.str(), "to-out\n");
  std::ostringstream err;
  EXPECT_EQ(
      runShell("echo to-out; echo to-err >&2; head -c 3 | od -An -c >&2", nullptr, nullptr, &err),
      "");
  EXPECT_EQ(err.str(), "to-err\n  \\0  \\0  \\0\n");
}

// Fed one after the other, 1 MiB each way would fill the pipes and stall both processes.
TEST(CmdExecStreamsTest, MebibyteEachWayCompletesInOrder) {
  Watchdog watchdog(60);
  std::string data;
  data.reserve(1 << 20);
  for (int line = 0; data.size() < (1u << 20); ++line)
    data += "line " + std::to_string(line) + "\n";
  data.resize(1 << 20);
  std::istringstream in(data);
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(runShell("tee /dev/stderr", &in, &out, &err), "");
  EXPECT_EQ(out.str().size(), data.size());
  EXPECT_EQ(err.str().size(), data.size());
  EXPECT_TRUE(out.str() == data);
  EXPECT_TRUE(err.str() == data);

  std::istringstream again(data);
  std::ostringstream zeros;
  std::ostringstream copy;
  EXPECT_EQ(runShell("head -c 1048576 /dev/zero >&2; cat", &again, &copy, &zeros), "");
  EXPECT_TRUE(copy.str() == data);
  EXPECT_EQ(zeros.str(), std::string(1 << 20, '\0'));
}

TEST(CmdExecStreamsTest, EmptyInputGivesTheChildEndOfFileAtOnce) {
  Watchdog watchdog(30);
  std::istringstream in("");
  std::ostringstream out;
  EXPECT_EQ(runShell("cat; echo done", &in, &out, nullptr), "");
  EXPECT_EQ(out.str(), "done\n");
}

// Writing to a pipe nobody reads raises SIGPIPE, whose default action would end this process.
TEST(CmdExecStreamsTest, ChildThatIgnoresItsInputDoesNotKillTheCaller) {
  Watchdog watchdog(30);
  sigset_t maskBefore;
  sigprocmask(SIG_BLOCK, nullptr, &maskBefore);
  std::istringstream in(std::string(1 << 20, 'x'));
  std::ostringstream out;
  EXPECT_EQ(runShell("echo gone", &in, &out, nullptr), "");
  EXPECT_EQ(out.str(), "gone\n");
  EXPECT_EQ(runShell("exit 0", &in, nullptr, nullptr), "");

  sigset_t maskAfter;
  sigprocmask(SIG_BLOCK, nullptr, &maskAfter);
  EXPECT_EQ(sigismember(&maskAfter, SIGPIPE), sigismember(&maskBefore, SIGPIPE));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST(PipeTest, OpensBothEndsAndClosingSetsThemToMinusOne) {
  Pipe pipe;
  EXPECT_EQ(pipe.readEnd(), -1);
  EXPECT_EQ(pipe.writeEnd(), -1);
  pipe.open();
  const int readEnd = pipe.readEnd();
  const int writeEnd = pipe.writeEnd();
  ASSERT_GE(readEnd, 0);
  ASSERT_GE(writeEnd, 0);
  EXPECT_EQ(fcntl(readEnd, F_GETFD) & FD_CLOEXEC, 0);  // children inherit unless they close it
  pipe.closeWrite();
  EXPECT_EQ(pipe.writeEnd(), -1);
  EXPECT_EQ(pipe.readEnd(), readEnd);
  EXPECT_EQ(fcntl(writeEnd, F_GETFD), -1);
  pipe.close();
  EXPECT_EQ(pipe.readEnd(), -1);
  EXPECT_EQ(fcntl(readEnd, F_GETFD), -1);
  pipe.close();  // closing again touches nothing

  int leftOpen = -1;
  {
    Pipe scoped;
    scoped.open();
    leftOpen = scoped.readEnd();
  }
  EXPECT_EQ(fcntl(leftOpen, F_GETFD), -1);
}

TEST(DrainPipeTest, CopiesEverythingUntilEndOfFile) {
  Pipe pipe;
  pipe.open();
  std::string data;
  for (int i = 0; i < 3000; ++i)
    data += static_cast<char>('a' + i % 26);
  ASSERT_EQ(write(pipe.writeEnd(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  pipe.closeWrite();
  drainPipe(nullptr, pipe.readEnd());  // no stream: nothing is read
  std::ostringstream none;
  drainPipe(&none, -1);
  EXPECT_EQ(none.str(), "");
  std::ostringstream out;
  drainPipe(&out, pipe.readEnd());
  EXPECT_EQ(out.str(), data);
}

TEST(RedirectToTest, ReplacesTheDescriptorWithATruncatedFile) {
  TempDir dir;
  const std::string path = dir.path("out");
  std::ofstream(path) << "previous content";
  const int fd = open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  redirectTo(path.c_str(), fd);
  ASSERT_EQ(write(fd, "new", 3), 3);
  EXPECT_EQ(readFile(path), "new");

  redirectTo(dir.path("created").c_str(), fd);
  ASSERT_EQ(write(fd, "x", 1), 1);
  EXPECT_EQ(readFile(dir.path("created")), "x");

  try {
    redirectTo(dir.path("missing/out").c_str(), fd);
    ADD_FAILURE() << "no exception";
  } catch (const ExecError& error) {
    EXPECT_STREQ(error.what(), "redirect open fail");
  }
  ASSERT_EQ(write(fd, "y", 1), 1);  // still the last file
  EXPECT_EQ(readFile(dir.path("created")), "xy");
  close(fd);
}

}  // namespace
}  // namespace vellumd
