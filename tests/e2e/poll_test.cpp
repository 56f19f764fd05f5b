// poll_test.cpp: a tree on a FUSE mount (bindfs of a backing directory), whose files written
// into the backing directory no inotify record tells of: the warning at start, and polling.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

class PollTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (access("/dev/fuse", R_OK | W_OK) != 0 || access("/usr/bin/bindfs", X_OK) != 0)
      GTEST_SKIP() << "FUSE cannot be used here: no /dev/fuse or no bindfs (Debian: bindfs)";
    ASSERT_EQ(mkdir(backing().c_str(), 0755), 0);
    if (!mount())
      GTEST_SKIP() << "FUSE cannot be used here: bindfs cannot mount";
    // The handler keeps what it was handed, to show that a file was whole when it ran.
    writeScript(handlerPath(), "printf '%s\\0' \"$1\" >> '" + recordPath() + "'\ncat \"$1\" > '" +
                                   root() + "/seen-'\"$(basename \"$1\")\"\n");
  }
  void TearDown() override {
    stopDaemon();
    unmount();
    DaemonTest::TearDown();
  }

  std::string backing() const { return root() + "/backing"; }
  bool mount() { return runProcess({"/usr/bin/bindfs", backing(), target()}).status == 0; }
  // A scan or a handler may hold the mount for a moment: it is busy then.
  void unmount() {
    waitUntil([&] { return !mounted() || runProcess({"/bin/umount", target()}).status == 0; });
  }
  bool mounted() const {
    return readWhole("/proc/self/mounts").find(" " + target() + " ") != std::string::npos;
  }
  // The bindfs process serving the mount; -1 when there is none.
  pid_t bindfsPid() const {
    const std::string argv = "/usr/bin/bindfs" + std::string(1, '\0') + backing() + '\0';
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") == std::string::npos &&
          readWhole(entry.path() / "cmdline").rfind(argv, 0) == 0)
        return std::stoi(name);
    }
    return -1;
  }
  std::vector<std::string> polling(const std::string& more = "") const {
    std::vector<std::string> args = {"-t", target(),  "-h",     handlerPath(),
                                     "-L", logPath(), "--poll", "200"};
    if (!more.empty())
      args.insert(args.end(), {"--state", more});
    return args;
  }
  std::string seen(const std::string& name) const { return readWhole(root() + "/seen-" + name); }
  // Every path the handler got, and how often.
  std::map<std::string, int> runsPerPath() const {
    std::map<std::string, int> runs;
    for (const std::string& path : handled())
      ++runs[path];
    return runs;
  }
  // Waits until `count` runs are logged and every one has recorded itself.
  bool waitForRuns(int count) {
    return waitUntil([&] { return callCount() >= count; }, 20s) &&
           waitUntil([&] { return static_cast<int>(handled().size()) == callCount(); });
  }
};

// inotify on the mount sees only what is written through it: the operator is warned, and what
// arrives in the backing directory is indeed never handed over.
TEST_F(PollTest, InotifyOnAFuseMountIsWarnedOfAndMissesFilesWrittenBehindIt) {
  const std::string warning = target() +
                              " is on a FUSE file system: changes made by other machines are not "
                              "reported; use --poll";
  ProcessResult launched = launchDaemon({}, {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  EXPECT_EQ(launched.err, "Warning: " + warning + "\n");
  ASSERT_TRUE(waitForLog("Start as daemon..."));
  ASSERT_TRUE(waitForWatches(1));
  EXPECT_TRUE(logContains("Warning: " + warning));
  putFile(backing() + "/behind", "x");
  settle();
  EXPECT_EQ(handled(), std::vector<std::string>{inTree("settle-1")});
}

// Polling hands over each file once, whole: one written behind the mount, one appended to for
// two seconds (after its last append), and a copied tree of 500; after a stop, only what
// arrived meanwhile runs.
TEST_F(PollTest, PollingHandsOverEachFileOnceWholeAndCatchesUpAfterAStop) {
  const std::string state = root() + "/state";
  startDaemon(0, polling(state));
  EXPECT_FALSE(logContains("Warning: " + target() +
                           " is on a FUSE file system: changes made by "
                           "other machines are not reported; use --poll"));
  putFile(backing() + "/hello", "hello");
  std::string grown;
  {
    OpenFile growing(backing() + "/growing", O_CREAT | O_APPEND);
    for (int i = 0; i < 14; ++i) {
      const std::string part = "part " + std::to_string(i) + "\n";
      growing.write(part);
      grown += part;
      std::this_thread::sleep_for(150ms);
    }
  }
  const std::string source = root() + "/batch";
  fs::create_directories(source + "/sub");
  for (int i = 0; i < 500; ++i)
    putFile(source + (i % 2 ? "/sub/f" : "/f") + std::to_string(i), std::to_string(i));
  ASSERT_EQ(runProcess({"/bin/cp", "-r", source, backing() + "/batch"}).status, 0);
  ASSERT_TRUE(waitForRuns(502));
  EXPECT_EQ(seen("hello"), "hello");
  EXPECT_EQ(seen("growing"), grown);
  std::map<std::string, int> runs = runsPerPath();
  EXPECT_EQ(runs.size(), 502u);
  EXPECT_EQ(runs[inTree("growing")], 1);
  EXPECT_EQ(runs[inTree("batch/sub/f499")], 1);
  EXPECT_TRUE(
      std::all_of(runs.begin(), runs.end(), [](const auto& run) { return run.second == 1; }));
  const std::string log = readWhole(logPath());
  EXPECT_NE(log.find("Poll found 1 changed files in 1 directories ("), std::string::npos);
  EXPECT_EQ(log.find("Inotify event for"), std::string::npos);

  stopDaemon();
  for (int i = 0; i < 20; ++i)
    putFile(backing() + "/later-" + std::to_string(i), "later");
  startDaemon(0, polling(state));
  ASSERT_TRUE(waitForRuns(522));
  runs = runsPerPath();
  EXPECT_EQ(runs.size(), 522u);
  EXPECT_EQ(runs[inTree("later-19")], 1);
  EXPECT_EQ(runs[inTree("hello")], 1);
}

// A mount that goes away is said once and is not taken for every file deleted: when it is back,
// the files handed over before are not handed over again.
TEST_F(PollTest, AMountGoneIsSaidOnceAndItsFilesAreNotRunAgainWhenItIsBack) {
  putFile(backing() + "/old", "old");
  startDaemon(0, polling());
  putFile(backing() + "/before", "before");
  ASSERT_TRUE(waitForHandledPath(inTree("before")));
  unmount();
  ASSERT_FALSE(mounted());
  const std::string line =
      "Target " + target() + " cannot be read - it is empty, on another device";
  ASSERT_TRUE(waitForLog(line));
  EXPECT_FALSE(waitUntil([&] { return logCount(line) > 1; }, 1s));
  ASSERT_TRUE(mount());
  putFile(backing() + "/after", "after");
  ASSERT_TRUE(waitForHandledPath(inTree("after")));
  settle();
  EXPECT_EQ(logCount(line), 1);
  EXPECT_EQ(handled(),
            (std::vector<std::string>{inTree("before"), inTree("after"), inTree("settle-1")}));
  // A file system process that dies leaves a mount that answers ENOTCONN.
  const pid_t server = bindfsPid();
  ASSERT_GT(server, 0);
  ASSERT_EQ(kill(server, SIGKILL), 0);
  const std::string gone =
      "Target " + target() + " cannot be read - Transport endpoint is not connected";
  ASSERT_TRUE(waitForLog(gone));
  unmount();
  ASSERT_TRUE(mount());
  putFile(backing() + "/again", "again");
  ASSERT_TRUE(waitForHandledPath(inTree("again")));
  settle();
  EXPECT_EQ(logCount(gone), 1);
  EXPECT_EQ(handled().size(), 5u);
}

// On a local disk a lease tells that a process still writes a file: polling waits for its close,
// however long the file rests unchanged meanwhile.
TEST_F(DaemonTest, PollingWaitsForTheCloseOfAFileALocalProcessStillWrites) {
  startDaemon(0, {"-t", target(), "-h", handlerPath(), "-L", logPath(), "--poll", "100"});
  OpenFile open(inTree("open"));
  open.write("first");
  writeFile("later", "x");
  // Handed over once two scans saw it unchanged: those scans saw "open" unchanged too.
  ASSERT_TRUE(waitForHandledPath(inTree("later")));
  EXPECT_EQ(timesHandled(inTree("open")), 0);
  open.close();
  ASSERT_TRUE(waitForHandledPath(inTree("open")));
  settle();
  EXPECT_EQ(handled(),
            (std::vector<std::string>{inTree("later"), inTree("open"), inTree("settle-1")}));
}

}  // namespace
}  // namespace vellumd::e2e
