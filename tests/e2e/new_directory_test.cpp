// new_directory_test.cpp: files that arrive in a directory created a moment earlier are handled,
// each exactly once, and never while still being written.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

// Makes `dirs` directories of `files` files each under `top`; returns the files' paths relative
// to `top`.
std::vector<std::string> makeTree(const std::string& top, int dirs, int files) {
  std::vector<std::string> made;
  fs::create_directories(top);
  for (int d = 0; d < dirs; ++d) {
    const std::string dir = "d" + std::to_string(d);
    fs::create_directory(top + "/" + dir);
    for (int f = 0; f < files; ++f) {
      const std::string file = dir + "/f" + std::to_string(f);
      putFile(top + "/" + file, "contents of " + file + "\n");
      made.push_back(file);
    }
  }
  return made;
}

// Lets `pid` (0: the calling thread) run only on the `index`th processor this process may use;
// false when it cannot.
bool pinToProcessor(pid_t pid, int index) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
    return false;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed) && index-- == 0) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      return sched_setaffinity(pid, sizeof one, &one) == 0;
    }
  }
  return false;
}

// The hexadecimal mask of one "Sig...:" line of a /proc status text; "" when absent.
std::string signalMask(const std::string& status, const std::string& field) {
  const size_t at = status.find(field + ":\t");
  if (at == std::string::npos)
    return "";
  const size_t start = at + field.size() + 2;
  return status.substr(start, status.find('\n', start) - start);
}

bool maskHasSignal(const std::string& hex, int signal) {
  return !hex.empty() && ((std::stoull(hex, nullptr, 16) >> (signal - 1)) & 1) != 0;
}

// The signals 1 to 31 of a mask. The C library's internal real-time signals are left out: a
// sanitizer runtime, for one, sets them to be ignored.
unsigned long long classicSignals(const std::string& hex) {
  return hex.empty() ? ~0ULL : std::stoull(hex, nullptr, 16) & 0x7fffffffULL;
}

// Runs `work` in a child process that has dropped to `uid` (group likewise, no supplementary
// groups); returns the child's PID. The child's exit status is what `work` returns.
pid_t forkAs(uid_t uid, const std::function<int()>& work) {
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      _exit(100);
    }
    _exit(work());
  }
  return child;
}

int waitForChild(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// True when /proc/locks shows a lease of `pid`'s, breaking or not.
bool holdsLease(pid_t pid) {
  std::istringstream locks(readWhole("/proc/locks"));
  const std::string holder = " " + std::to_string(pid) + " ";
  for (std::string line; std::getline(locks, line);) {
    if (line.find(" LEASE ") != std::string::npos && line.find(holder) != std::string::npos)
      return true;
  }
  return false;
}

class NewDirectoryTest : public DaemonTest {
 protected:
  // The log is read raw: some tests make it tens of thousands of lines long.
  std::string rawLog() const { return readWhole(logPath()); }
  static bool hasMessage(const std::string& log, const std::string& message) {
    return log.find(": " + message + "\n") != std::string::npos;
  }
  bool waitForMessage(const std::string& message, std::chrono::milliseconds timeout = 10s) {
    return waitUntil([&] { return hasMessage(rawLog(), message); }, timeout);
  }
  // The log's description of a record for `name` inside `directory` (a path inside the tree).
  std::string recordText(const std::string& name, const std::string& directory,
                         const std::string& flags) const {
    return " - " + name + " in " + inTree(directory) + " - " + flags + "\n";
  }
  size_t callCount() const { return occurrences(rawLog(), ": Call handler "); }
  // The log lines that mention `text`, to explain a failure.
  std::string linesAbout(const std::string& text) const {
    std::istringstream log(rawLog());
    std::string lines;
    for (std::string line; std::getline(log, line);) {
      if (line.find(text) != std::string::npos)
        lines += line + "\n";
    }
    return lines;
  }

  // Returns once every record queued so far has been dispatched and every handler run decided so
  // far has recorded itself: records are dispatched in order, so a marker written now is handled
  // after all of them. A later check that something did not run is then conclusive.
  void settle() {
    const std::string marker = inTree("settle-" + std::to_string(++settles_));
    putFile(marker, "");
    ASSERT_TRUE(waitForMessage(callLine(marker))) << marker << " was never handled";
    ASSERT_TRUE(waitUntil([&] { return handled().size() == callCount(); }))
        << handled().size() << " recorded, " << callCount() << " calls logged";
  }

  // Describes how the handler's runs, markers aside, differ from one run for each of `expected`
  // (paths relative to the target); "" when they do not.
  std::string differenceFromOnceEach(const std::vector<std::string>& expected) const {
    std::map<std::string, int> runs;
    for (const std::string& path : handled()) {
      if (path.rfind(inTree("settle-"), 0) != 0)
        ++runs[path];
    }
    std::ostringstream difference;
    for (const std::string& relative : expected) {
      auto it = runs.find(inTree(relative));
      const int times = it == runs.end() ? 0 : it->second;
      if (times == 0)
        difference << "never handled: " << relative << "\n";
      if (times > 1)
        difference << times << " runs: " << relative << "\n";
      // What the daemon read and decided about it, to tell a lost record from a lost decision.
      if (times != 1) {
        const size_t slash = relative.rfind('/');
        difference << linesAbout(" - " + relative.substr(slash + 1) + " in " +
                                 inTree(relative.substr(0, slash)) + " - ")
                   << linesAbout("with argument: " + inTree(relative));
      }
      if (it != runs.end())
        runs.erase(it);
    }
    for (const auto& [path, count] : runs)
      difference << "not expected: " << path << "\n";
    return difference.str();
  }

  // Queues `count` records that run no handler: closes of files that were opened for writing
  // and left unmodified. Two files take turns, or the kernel would merge the records.
  void queueIdleCloses(int count) {
    for (int i = 0; i < count; ++i) {
      int fd = open(inTree(i % 2 ? "idle-a" : "idle-b").c_str(), O_WRONLY);
      ASSERT_GE(fd, 0) << strerror(errno);
      close(fd);
    }
  }

  // Starts the daemon and brings it to where a look into a new directory has handled
  // "held/sub/f" (written "first") while the records of that very writing are still queued,
  // behind `idleRecords` records of other files. Then calls `act` (when given), before those
  // records are read.
  //
  // The look and the watch it follows happen in one step of the daemon, so the daemon stops
  // itself in the middle: on opening "held/stop-here" in its look into "held", when "held/sub" is
  // already watched and not yet looked into. "f" is written while it is stopped there. Continued,
  // it looks into "held/sub" and stops again before it reads the records. Returns false, with a
  // message, when it did not get there. "held/sub/empty", empty and there before the watch, is
  // left to the look's mark, which is queued behind those records too.
  bool handleByLookWithRecordsQueued(int idleRecords, const std::function<void()>& act,
                                     std::string& why) {
    putFile(inTree("idle-a"), "");
    putFile(inTree("idle-b"), "");
    startDaemon(
        -1, {},
        withFaults({"VELLUMD_FAULT_STOP_AT=stop-here", "VELLUMD_FAULT_STOP_AT_NEXT_READ=1"}));
    pauseDaemon();
    makeDir("held/sub");
    putFile(inTree("held/sub/empty"), "");
    putFile(inTree("held/stop-here"), "not empty, so that the look opens it");
    resumeDaemon();
    if (!waitForStopAt(inTree("held/stop-here"))) {
      why = "the daemon did not stop in its look into held";
      return false;
    }
    if (watchCount() != 3) {
      why = "held/sub was not watched before the look into held";
      return false;
    }
    queueIdleCloses(idleRecords);
    putFile(inTree("held/sub/f"), "first");
    resumeDaemon();
    const std::string handledByLook = ": " + callLine(inTree("held/sub/f")) + "\n";
    if (!waitUntil([&] {
          return processState(pid()) == 'T' && rawLog().find(handledByLook) != std::string::npos;
        })) {
      why = "the look never handled held/sub/f, or the daemon did not stop after it";
      return false;
    }
    if (act)
      act();
    const bool tooLate =
        rawLog().find(recordText("f", "held/sub", "IN_CLOSE_WRITE")) != std::string::npos;
    resumeDaemon();
    if (tooLate) {
      why = "the queued close of held/sub/f was dispatched before the test could act";
      return false;
    }
    return true;
  }

 private:
  int settles_ = 0;
};

TEST_F(NewDirectoryTest, ACopiedTreeOfFourHundredFilesIsHandledExactlyOnce) {
  const std::vector<std::string> files = makeTree(root() + "/source", 20, 20);
  startDaemon();
  ProcessResult copied = runProcess({"cp", "-r", root() + "/source", target()});
  ASSERT_EQ(copied.status, 0) << copied.err;
  std::vector<std::string> expected;
  for (const std::string& file : files)
    expected.push_back("source/" + file);
  EXPECT_TRUE(waitForHandled(expected.size(), 20s)) << handled().size() << " handled";
  settle();
  EXPECT_EQ(differenceFromOnceEach(expected), "");
  EXPECT_EQ(watchCount(), 22);
}

TEST_F(NewDirectoryTest, ATreeExtractedByTarIntoAFreshDirectoryIsHandledExactlyOnce) {
  std::vector<std::string> files = makeTree(root() + "/pkg", 10, 10);
  for (int d = 0; d < 10; ++d) {
    for (const std::string& file :
         makeTree(root() + "/pkg/d" + std::to_string(d) + "/deeper", 1, 10)) {
      files.push_back("d" + std::to_string(d) + "/deeper/" + file);
    }
  }
  ProcessResult packed = runProcess({"tar", "-C", root(), "-cf", root() + "/pkg.tar", "pkg"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  startDaemon();
  makeDir("unpacked");
  ProcessResult unpacked =
      runProcess({"tar", "-C", inTree("unpacked"), "-xf", root() + "/pkg.tar"});
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  std::vector<std::string> expected;
  for (const std::string& file : files)
    expected.push_back("unpacked/pkg/" + file);
  EXPECT_TRUE(waitForHandled(expected.size(), 20s)) << handled().size() << " handled";
  settle();
  EXPECT_EQ(differenceFromOnceEach(expected), "");
}

TEST_F(NewDirectoryTest, CompleteFilesFoundInANewDirectoryAndItsSubdirectoriesAreHandledOnce) {
  startDaemon();
  // Stopped, the daemon reads the directory's creation only after everything below is done:
  // only its look can find these files.
  pauseDaemon();
  makeDir("fresh/a/b");
  putFile(inTree("fresh/top"), "1");
  putFile(inTree("fresh/empty"), "");
  putFile(inTree("fresh/a/middle"), "2");
  putFile(inTree("fresh/a/b/bottom"), "3");
  ASSERT_EQ(mkfifo(inTree("fresh/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("top", inTree("fresh/link").c_str()), 0);
  resumeDaemon();
  ASSERT_TRUE(waitForWatches(4));
  settle();
  // Neither a FIFO nor a link is a file to hand over; the daemon must not open the FIFO either.
  EXPECT_EQ(
      differenceFromOnceEach({"fresh/top", "fresh/empty", "fresh/a/middle", "fresh/a/b/bottom"}),
      "");
  EXPECT_TRUE(hasMessage(rawLog(), callLine(inTree("fresh/a/b/bottom"))));
  // What is written later goes through the new watches as usual.
  putFile(inTree("fresh/a/b/later"), "4");
  ASSERT_TRUE(waitForHandledPath(inTree("fresh/a/b/later")));
  putFile(inTree("fresh/top"), "rewritten");
  ASSERT_TRUE(waitUntil([&] { return timesHandled(inTree("fresh/top")) == 2; }));
  settle();
  EXPECT_EQ(timesHandled(inTree("fresh/top")), 2);
  EXPECT_EQ(timesHandled(inTree("fresh/a/b/later")), 1);
}

TEST_F(NewDirectoryTest, AFileStillOpenWhenTheDaemonLooksIsHandledOnceAtItsClose) {
  startDaemon();
  pauseDaemon();
  makeDir("made");
  OpenFile file(inTree("made/slow"));
  file.write("first part, ");
  resumeDaemon();
  ASSERT_TRUE(waitForWatches(2));
  // Handled through the new watch, so the look into "made" is over once it has been.
  putFile(inTree("made/marker"), "");
  ASSERT_TRUE(waitForHandledPath(inTree("made/marker")));
  settle();
  EXPECT_EQ(timesHandled(inTree("made/slow")), 0) << "handled while still open for writing";
  file.write("second part");
  settle();
  EXPECT_EQ(timesHandled(inTree("made/slow")), 0) << "handled while still open for writing";
  file.close();
  ASSERT_TRUE(waitForHandledPath(inTree("made/slow")));
  settle();
  EXPECT_EQ(differenceFromOnceEach({"made/slow", "made/marker"}), "");
}

TEST_F(NewDirectoryTest, FilesWrittenFastIntoNewDirectoriesRunOnceEachAndAgainWhenRewritten) {
  startDaemon();
  // Some of these are written before their directory is watched, some between the watch and the
  // look, when both the look and the queued records see them, and the rest afterwards.
  std::vector<std::string> expected;
  for (int d = 0; d < 3; ++d) {
    const std::string dir = "burst" + std::to_string(d);
    ASSERT_EQ(mkdir(inTree(dir).c_str(), 0755), 0);
    for (int f = 0; f < 100; ++f) {
      const std::string file = dir + "/f" + std::to_string(f);
      putFile(inTree(file), file);
      expected.push_back(file);
    }
  }
  EXPECT_TRUE(waitForHandled(expected.size(), 20s)) << handled().size() << " handled";
  settle();
  EXPECT_EQ(differenceFromOnceEach(expected), "");
  putFile(inTree("burst0/f0"), "rewritten");
  ASSERT_TRUE(waitUntil([&] { return timesHandled(inTree("burst0/f0")) == 2; }));
  settle();
  EXPECT_EQ(timesHandled(inTree("burst0/f0")), 2);
}

TEST_F(NewDirectoryTest, RecordsQueuedBeforeTheLookDoNotRunTheFileASecondTime) {
  std::string why;
  ASSERT_TRUE(handleByLookWithRecordsQueued(100, nullptr, why)) << why;
  settle();
  // The records were there, and were dispatched after the look had handled the file.
  const std::string log = rawLog();
  const size_t look = log.find(callLine(inTree("held/sub/f")));
  const size_t closed = log.find(recordText("f", "held/sub", "IN_CLOSE_WRITE"));
  ASSERT_NE(closed, std::string::npos);
  EXPECT_LT(look, closed);
  EXPECT_EQ(timesHandled(inTree("held/sub/f")), 1);
  // A rewrite after all that is a new completion.
  putFile(inTree("held/sub/f"), "second");
  ASSERT_TRUE(waitUntil([&] { return timesHandled(inTree("held/sub/f")) == 2; }));
  settle();
  EXPECT_EQ(timesHandled(inTree("held/sub/f")), 2);
}

TEST_F(NewDirectoryTest, AFileWhoseTimesAreSetJustAfterTheLookHandledItIsNotHandledAgain) {
  // tar, cp -p and rsync set a file's modification time right after they close it; some then
  // move the directory they filled into place.
  std::string why;
  ASSERT_TRUE(handleByLookWithRecordsQueued(
      12000,
      [&] {
        const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, inTree("held/sub/f").c_str(), times, 0), 0);
        ASSERT_EQ(rename(inTree("held/sub").c_str(), inTree("held/done").c_str()), 0);
      },
      why))
      << why;
  // The empty file, left to the look's mark, is looked at again where its directory went.
  ASSERT_TRUE(waitForHandledPath(inTree("held/done/empty"))) << linesAbout(inTree("held"));
  settle();
  EXPECT_EQ(timesHandled(inTree("held/sub/f")), 1) << linesAbout(inTree("held/sub"));
  EXPECT_EQ(timesHandled(inTree("held/done/empty")), 1);
  EXPECT_EQ(timesHandled(inTree("held/sub/empty")), 0);
}

TEST_F(NewDirectoryTest, ARewriteBegunJustAfterTheLookHandledTheFileIsHandledOnlyAtItsClose) {
  std::unique_ptr<OpenFile> rewrite;
  std::string why;
  ASSERT_TRUE(handleByLookWithRecordsQueued(
      12000,
      [&] {
        rewrite = std::make_unique<OpenFile>(inTree("held/sub/f"), O_TRUNC);
        rewrite->write("sec");
      },
      why))
      << why;
  settle();
  EXPECT_EQ(timesHandled(inTree("held/sub/f")), 1) << "handled while being rewritten\n"
                                                   << linesAbout(inTree("held/sub"));
  rewrite->write("ond");
  rewrite->close();
  ASSERT_TRUE(waitUntil([&] { return timesHandled(inTree("held/sub/f")) >= 2; }));
  settle();
  EXPECT_EQ(timesHandled(inTree("held/sub/f")), 2);
}

TEST_F(NewDirectoryTest, WritersOpeningFilesDuringTheLookNeitherEndNorDisturbTheDaemon) {
  // The daemon stops itself on the first lease it takes, so that one writer surely meets it.
  startDaemon(-1, {}, withFaults({"VELLUMD_FAULT_STOP_AT_LEASE=1"}));
  // Each round's look probes many names of one file, which another thread opens for writing and
  // closes unmodified as fast as it can: some of its opens come while the daemon holds its lease.
  // An open that may not wait then fails with EWOULDBLOCK, and the daemon is sent the signal.
  std::mutex mutex;
  std::string busy;  // the file being opened; guarded by mutex
  std::atomic<bool> done = false;
  std::atomic<int> leaseBreaks = 0;
  // Apart, the two meet far more often than when they take turns on one processor.
  const bool apart = pinToProcessor(pid(), 0);
  std::thread opener([&] {
    if (apart)
      pinToProcessor(0, 1);
    for (int turn = 0; !done; ++turn) {
      std::string path;
      {
        std::lock_guard lock(mutex);
        path = busy;
      }
      int fd = path.empty() ? -1 : open(path.c_str(), O_WRONLY | (turn % 2 ? O_NONBLOCK : 0));
      if (fd >= 0) {
        close(fd);
      } else if (errno == EWOULDBLOCK) {
        ++leaseBreaks;
      }
    }
  });
  std::vector<std::string> rounds;
  for (int round = 0; round < 20 && (round < 3 || leaseBreaks < 3); ++round) {
    const std::string dir = "round" + std::to_string(round);
    pauseDaemon();
    makeDir(dir);
    putFile(inTree(dir + "/file"), "complete");
    for (int i = 0; i < 60; ++i) {
      const std::string name = inTree(dir + "/name" + std::to_string(i));
      ASSERT_EQ(link(inTree(dir + "/file").c_str(), name.c_str()), 0) << strerror(errno);
    }
    // The first round's writer is this thread, the others' the opener.
    {
      std::lock_guard lock(mutex);
      busy = round == 0 ? "" : inTree(dir + "/file");
    }
    resumeDaemon();
    if (round == 0) {
      EXPECT_TRUE(waitUntil([&] { return processState(pid()) == 'T' && holdsLease(pid()); }))
          << "the daemon did not stop holding a lease";
      const int fd = open(inTree(dir + "/file").c_str(), O_WRONLY | O_NONBLOCK);
      const int error = errno;
      EXPECT_EQ(fd, -1) << "a writer opened the file while the daemon held its lease";
      if (fd >= 0)
        close(fd);
      else if (error == EWOULDBLOCK)
        ++leaseBreaks;
      resumeDaemon();
      // This open waits until the daemon lets go of its lease; its close runs the file.
      const int writer = open(inTree(dir + "/file").c_str(), O_WRONLY);
      EXPECT_GE(writer, 0) << strerror(errno);
      if (writer >= 0)
        close(writer);
    }
    ASSERT_TRUE(waitForWatches(round + 2));
    settle();
    rounds.push_back(dir);
  }
  done = true;
  opener.join();
  EXPECT_GT(leaseBreaks, 0) << "no writer ever met the daemon's lease: nothing was shown";
  ASSERT_TRUE(daemonAlive());
  putFile(inTree("after"), "written after all the lease breaks");
  ASSERT_TRUE(waitForHandledPath(inTree("after")));
  settle();
  EXPECT_TRUE(daemonAlive());
  // A name found with the writer's descriptor open was left pending, and the writer's opens are
  // all through "file": so each name ran at most once, and "file" exactly once.
  std::map<std::string, int> runs;
  for (const std::string& path : handled())
    ++runs[path];
  for (const auto& [path, count] : runs)
    EXPECT_EQ(count, 1) << path;
  for (const std::string& dir : rounds)
    EXPECT_EQ(runs[inTree(dir + "/file")], 1) << dir;
  EXPECT_EQ(runs[inTree("after")], 1);

  // The lease-break signal changed no disposition, neither the daemon's nor what its handlers
  // inherit: nothing is ignored (the daemon reaps its handlers itself).
  const std::string status = readWhole("/proc/" + std::to_string(pid()) + "/status");
  EXPECT_EQ(classicSignals(signalMask(status, "SigIgn")), 0ULL);
  for (int signal : {SIGIO, SIGWINCH}) {
    EXPECT_FALSE(maskHasSignal(signalMask(status, "SigCgt"), signal)) << strsignal(signal);
    EXPECT_FALSE(maskHasSignal(signalMask(status, "SigBlk"), signal)) << strsignal(signal);
  }
  // A shell would install its own SIGCHLD handler: this handler is sed itself, copying its own
  // "Sig..." lines. Swapped in by a rename, so that no run finds it half written.
  const std::string signalsFile = root() + "/handler-signals";
  {
    std::ofstream script(root() + "/signal-handler");
    script << "#!/usr/bin/env -S sed -n -e /^Sig[IBC]/w" << signalsFile << " /proc/self/status\n";
  }
  chmod((root() + "/signal-handler").c_str(), 0755);
  ASSERT_EQ(rename((root() + "/signal-handler").c_str(), handlerPath().c_str()), 0);
  putFile(inTree("show-signals"), "");
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(signalsFile), "Sig") == 3; }));
  const std::string handlerStatus = readWhole(signalsFile);
  EXPECT_EQ(classicSignals(signalMask(handlerStatus, "SigIgn")), 0ULL);
  EXPECT_EQ(classicSignals(signalMask(handlerStatus, "SigCgt")), 0ULL);
  EXPECT_EQ(classicSignals(signalMask(handlerStatus, "SigBlk")), 0ULL);
}

TEST_F(NewDirectoryTest, ADirectoryMovedInRunsOnceWithItsOwnPathAndNotForItsFiles) {
  makeTree(root() + "/outside/pkg", 2, 3);
  startDaemon();
  ASSERT_EQ(rename((root() + "/outside/pkg").c_str(), inTree("pkg").c_str()), 0);
  ASSERT_TRUE(waitForHandledPath(inTree("pkg")));
  ASSERT_TRUE(waitForWatches(4));
  settle();
  EXPECT_EQ(differenceFromOnceEach({"pkg"}), "");
  putFile(inTree("pkg/d1/later"), "written after the move");
  ASSERT_TRUE(waitForHandledPath(inTree("pkg/d1/later")));
  settle();
  EXPECT_EQ(differenceFromOnceEach({"pkg", "pkg/d1/later"}), "");
}

// Completions lost with the records are recovered: what changed since the queue was last seen
// empty is looked at, except what was already handled and has not changed since.
TEST_F(NewDirectoryTest, AQueueOverflowLosesNoCompletionAndRunsNothingTwice) {
  const std::vector<std::string> old = makeTree(target() + "/old", 3, 10);
  putFile(inTree("idle-a"), "");
  putFile(inTree("idle-b"), "");
  startDaemon();
  // A change within a few milliseconds of the last time the daemon found the queue empty may
  // have been lost with the overflow, and is looked at again: the files made before the daemon
  // started must be older than that.
  struct stat newest;
  ASSERT_EQ(stat(inTree("idle-b").c_str(), &newest), 0);
  ASSERT_TRUE(waitUntil([&] {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000 >
           newest.st_ctim.tv_sec * 1000 + newest.st_ctim.tv_nsec / 1000000 + 100;
  }));
  putFile(inTree("old/d0/seen"), "handled once before the overflow");
  ASSERT_TRUE(waitForHandledPath(inTree("old/d0/seen")));
  const int limit = std::stoi(readWhole("/proc/sys/fs/inotify/max_queued_events"));
  pauseDaemon();
  queueIdleCloses(limit + 100);
  // Its creation is lost with the overflow: the rescan must find it.
  makeDir("late/inner");
  putFile(inTree("late/inner/file"), "written while records were being lost");
  putFile(inTree("old/d2/lost"), "closed while records were being lost");
  OpenFile open(inTree("old/d1/open"));
  open.write("still being written when the overflow is read");
  resumeDaemon();
  ASSERT_TRUE(waitForMessage("Inotify event for -1(cookie:0) - IN_Q_OVERFLOW"));
  ASSERT_TRUE(waitForWatches(1 + 4 + 2)) << watchCount();
  settle();
  EXPECT_EQ(differenceFromOnceEach({"old/d0/seen", "late/inner/file", "old/d2/lost"}), "");
  open.close();
  ASSERT_TRUE(waitForHandledPath(inTree("old/d1/open")));
  settle();
  EXPECT_EQ(
      differenceFromOnceEach({"old/d0/seen", "late/inner/file", "old/d2/lost", "old/d1/open"}), "");
  EXPECT_TRUE(daemonAlive());
}

class NonRootTest : public NewDirectoryTest {
 protected:
  static constexpr uid_t kDaemonUser = 65533;
  static constexpr uid_t kWriterUser = 65534;

  // Runs the daemon as kDaemonUser, with everything it and the other user need reachable.
  void startUnprivilegedDaemon() {
    ASSERT_EQ(chmod(target().c_str(), 0777), 0);
    for (const std::string& path : {logPath(), recordPath()}) {
      std::ofstream{path};
      ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    }
    const std::string id = std::to_string(kDaemonUser);
    ProcessResult launched =
        launchDaemon({"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"},
                     {"-t", target(), "-h", handlerPath(), "-L", logPath()});
    ASSERT_EQ(launched.status, 0) << launched.err;
    ASSERT_GT(pid(), 0);
    ASSERT_TRUE(waitForWatches(1));
    ASSERT_TRUE(waitForMessage("Start as daemon..."));
    const std::string status = readWhole("/proc/" + std::to_string(pid()) + "/status");
    ASSERT_NE(status.find("\nUid:\t" + id + "\t"), std::string::npos) << status;
  }
};

TEST_F(NonRootTest, AFileOfAnotherUserIsNotHandledWhileItIsStillBeingWritten) {
  startUnprivilegedDaemon();
  int ready[2];
  int go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const std::string dir = inTree("theirs");
  const std::string file = inTree("theirs/half");
  // Stopped, the daemon finds the file already open when it looks: it may not take a lease on
  // another user's file, so it cannot tell that the file is open, and must not guess "complete".
  pauseDaemon();
  pid_t writer = forkAs(kWriterUser, [&] {
    if (mkdir(dir.c_str(), 0755) != 0)
      return 1;
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    char byte = 'r';
    if (fd < 0 || write(fd, "first half, ", 12) != 12 || write(ready[1], &byte, 1) != 1)
      return 2;
    if (read(go[0], &byte, 1) != 1 || write(fd, "second half", 11) != 11)
      return 3;
    return close(fd) == 0 ? 0 : 4;
  });
  ASSERT_GT(writer, 0);
  close(ready[1]);
  close(go[0]);
  char byte;
  const bool writing = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  resumeDaemon();
  if (!writing) {
    close(go[1]);
    FAIL() << "the writer failed: status " << waitForChild(writer);
  }
  ASSERT_TRUE(waitForWatches(2));
  putFile(inTree("theirs/marker"), "");
  ASSERT_TRUE(waitForHandledPath(inTree("theirs/marker")));
  settle();
  EXPECT_EQ(timesHandled(file), 0) << "handled while still open for writing";
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  EXPECT_EQ(waitForChild(writer), 0);
  settle();
  EXPECT_LE(timesHandled(file), 1);
  EXPECT_TRUE(daemonAlive());
}

TEST_F(NonRootTest, CompleteFilesOfTheDaemonsOwnUserInANewDirectoryAreHandledOnce) {
  startUnprivilegedDaemon();
  pauseDaemon();
  const std::string dir = inTree("own");
  pid_t writer = forkAs(kDaemonUser, [&] {
    if (mkdir(dir.c_str(), 0755) != 0)
      return 1;
    for (const char* name : {"/one", "/two"}) {
      int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0 || write(fd, "done", 4) != 4 || close(fd) != 0)
        return 2;
    }
    return 0;
  });
  ASSERT_GT(writer, 0);
  const int status = waitForChild(writer);
  resumeDaemon();
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(waitForWatches(2));
  settle();
  EXPECT_EQ(differenceFromOnceEach({"own/one", "own/two"}), "");
}

}  // namespace
}  // namespace vellumd::e2e
