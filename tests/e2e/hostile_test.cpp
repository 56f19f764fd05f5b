// hostile_test.cpp: a root daemon over a folder that an untrusted uploader (uid 65534) writes into.
// Nothing outside the tree, and nothing but regular files and directories, reaches the handler;
// nothing the uploader does ends the daemon, floods its log or forges a line in it, or turns the
// daemon's own files (its log, its state) against it.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

class HostileFolderTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    ASSERT_EQ(chmod(target().c_str(), 0777), 0);
    // A directory the uploader can read but not write, outside the tree, with a file to steal.
    ASSERT_EQ(mkdir(outside().c_str(), 0755), 0);
    putFile(outside() + "/secret", "root's");
  }
  std::string outside() const { return root() + "/outside"; }
  // A directory beside the tree, made writable by every user as `mode` says.
  std::string shared(mode_t mode) const {
    const std::string path = root() + "/shared";
    EXPECT_TRUE(mkdir(path.c_str(), 0755) == 0 && chmod(path.c_str(), mode) == 0) << path;
    return path;
  }
  // Runs a shell script as the uploader, in the tree.
  void asUploader(const std::string& script) {
    ProcessResult result =
        runProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                    "cd '" + target() + "' && " + script});
    ASSERT_EQ(result.status, 0) << script << ": " << result.err;
  }
  bool handledAnythingOutside() const {
    for (const std::string& path : handled()) {
      if (path.rfind(target() + "/", 0) != 0)
        return true;
    }
    return false;
  }
};

TEST_F(HostileFolderTest, AnUploadersLinksAreNeitherFollowedNorHandedOver) {
  asUploader("mkdir planted && ln -s '" + outside() + "' planted/out");
  startDaemon(2);  // a link present at start-up is not followed
  EXPECT_TRUE(waitForLog("Skip link " + inTree("planted/out") + " - owned by uid 65534"));
  asUploader("mkdir d && ln -s '" + outside() + "' d/x && ln -s /etc/hostname .l && mv .l stolen");
  EXPECT_TRUE(waitForLog("Skip link " + inTree("stolen") + " - owned by uid 65534"));
  // A directory prepared elsewhere with a link inside, moved in.
  asUploader("mkdir /tmp/vellumd-hostile-$$ && ln -s '" + outside() +
             "' /tmp/vellumd-hostile-$$/x && mv /tmp/vellumd-hostile-$$ moved");
  EXPECT_TRUE(waitUntil(
      [&] { return logContains("Skip link " + inTree("moved/x") + " - owned by uid 65534"); }));
  putFile(outside() + "/later", "root's too");
  settle();
  EXPECT_EQ(watchCount(), 4);  // tree, planted, d, moved
  EXPECT_FALSE(handledAnythingOutside());
  EXPECT_EQ(timesHandled(inTree("stolen")), 0);
  EXPECT_EQ(timesHandled(inTree("moved")), 1);
}

TEST_F(HostileFolderTest, FifosAndLongPathsAreNotHandedOverAndTheDaemonGoesOn) {
  // Sixteen levels of 250-byte names under a short one, then the short one renamed long: the
  // deepest directory's path passes PATH_MAX while it is watched.
  std::string levels;
  for (int level = 0; level < 16; ++level)
    levels += "/" + std::string(250, static_cast<char>('a' + level));
  fs::create_directories(inTree("s" + levels));
  startDaemon();
  asUploader("mkfifo up.part && mv up.part up && mkfifo rw && exec 3<>rw && exec 3>&-");
  const std::string longName(255, 'z');
  ASSERT_EQ(rename(inTree("s").c_str(), inTree(longName).c_str()), 0);
  // Written in two steps of the working directory: its path is too long for one.
  ASSERT_EQ(
      runProcess({"sh", "-c", "cd " + inTree(longName) + " && cd -P ." + levels + " && : > f"})
          .status,
      0);
  ASSERT_TRUE(waitForLog("Inotify event for 18(cookie:0) - f in (path too long) - IN_CLOSE_WRITE"));
  settle();
  EXPECT_EQ(timesHandled(inTree("up")), 0);
  EXPECT_EQ(timesHandled(inTree("rw")), 0);
  EXPECT_EQ(timesHandled(inTree(longName)), 1);  // the renamed directory's arrival
  EXPECT_EQ(handled().size(), 2u);
  EXPECT_TRUE(daemonAlive());
}

// Records read late (the daemon is stopped) tell of A renamed P, P moved out, and B renamed P:
// only the directory's own IN_MOVE_SELF tells which of two entries named P left.
TEST_F(HostileFolderTest, EachMoveIsMatchedToTheDirectoryThatMoved) {
  const std::string away = "/tmp/vellumd-hostile-" + std::to_string(getpid());
  asUploader("mkdir A B");
  startDaemon(3);
  pauseDaemon();
  asUploader("mv A P && mv P '" + away + "' && mv B P");
  resumeDaemon();
  settle();
  EXPECT_EQ(watchCount(), 2);
  writeFile("P/f", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("P/f")));
  putFile(away + "/g", "x");
  settle();
  fs::remove_all(away);
  EXPECT_EQ(timesHandled(inTree("P/g")), 0);
}

// Records read late (the daemon is stopped) tell of a file written in d, and d is by then a link
// to a directory outside holding a file of that name: nothing is handed over through it.
TEST_F(HostileFolderTest, AFileWhoseDirectoryBecameALinkIsNotHandedOver) {
  asUploader("mkdir -p d/e");
  startDaemon(3);
  pauseDaemon();
  asUploader("echo x > d/secret && echo x > d/e/secret && mv d d.old && ln -s '" + outside() +
             "' d");
  resumeDaemon();
  EXPECT_TRUE(waitUntil([&] { return timesHandled(inTree("d.old")) == 1; }));  // moved in the tree
  settle();
  EXPECT_FALSE(handledAnythingOutside());
  EXPECT_EQ(timesHandled(inTree("d/secret")) + timesHandled(inTree("d/e/secret")), 0);
}

// Records read late tell of a/f closed, and a is by then another directory, made after the first
// was renamed away: the first close is not taken for one of the new a/f, which runs once.
TEST_F(HostileFolderTest, ACloseInADirectoryRenamedAwayIsNotTakenForOneInItsSuccessor) {
  asUploader("mkdir a");
  startDaemon(2);
  pauseDaemon();
  asUploader("echo complete > a/f && mv a done && mkdir a && echo other > a/f");
  resumeDaemon();
  EXPECT_TRUE(waitForHandledPath(inTree("a/f")));
  settle();
  EXPECT_EQ(timesHandled(inTree("a/f")), 1);
}

TEST_F(HostileFolderTest, ATreeDeeperThanTheDescriptorLimitIsWatchedToTheBottom) {
  std::string deep = "d";
  for (int level = 1; level < 100; ++level)
    deep += "/d";
  fs::create_directories(inTree(deep));
  launchDaemon({"prlimit", "--nofile=32:32"},
               {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  ASSERT_GT(pid(), 0);
  ASSERT_TRUE(waitForWatches(101));
  writeFile(deep + "/f", "x");
  EXPECT_TRUE(waitForHandledPath(inTree(deep + "/f")));
}

// The watch budget is shared with every inotify user of the uid: running out is made to happen
// once, at the first new directory, by the fault library.
TEST_F(HostileFolderTest, ADirectoryRefusedForWantOfWatchesIsWatchedOnceOneIsFreed) {
  launchDaemon(withFaults({"VELLUMD_FAULT_CALL=inotify_add_watch", "VELLUMD_FAULT_ERRNO=ENOSPC",
                           "VELLUMD_FAULT_AFTER=2"}),
               {"-t", target(), "-h", handlerPath(), "-L", logPath()});
  ASSERT_TRUE(waitForWatches(1));
  makeDir("starved");
  ASSERT_TRUE(waitForLog("Can't watch directory " + inTree("starved") + " - " + strerror(ENOSPC)));
  writeFile("starved/early", "x");
  makeDir("freed");
  ASSERT_TRUE(waitForWatches(2));
  ASSERT_EQ(rmdir(inTree("freed").c_str()), 0);
  ASSERT_TRUE(waitForWatches(2));  // freed's watch went, starved's came
  EXPECT_TRUE(waitForHandledPath(inTree("starved/early")));
  writeFile("starved/later", "x");
  EXPECT_TRUE(waitForHandledPath(inTree("starved/later")));
  EXPECT_TRUE(daemonAlive());
}

TEST_F(HostileFolderTest, AMovedOrDeletedTargetEndsTheDaemonWithStatusThree) {
  startDaemon();
  ASSERT_EQ(rename(target().c_str(), (target() + ".old").c_str()), 0);
  EXPECT_TRUE(waitForExit());
  EXPECT_TRUE(logContains("Error: Target " + target() + " was moved away or deleted"));
  ASSERT_EQ(rename((target() + ".old").c_str(), target().c_str()), 0);
}

// Rewrites the first byte of `path` with pwrite() for `duration`, never closing it, as uid and gid
// 65534 against the root daemon: what setpriv --reuid=65534 --regid=65534 --clear-groups does.
pid_t startFlood(const std::string& path, std::chrono::milliseconds duration) {
  const pid_t writer = fork();
  if (writer != 0)
    return writer;
  if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
      setresuid(65534, 65534, 65534) != 0)
    _exit(2);
  const int fd = open(path.c_str(), O_WRONLY);
  const auto end = std::chrono::steady_clock::now() + duration;
  while (fd >= 0 && std::chrono::steady_clock::now() < end) {
    if (pwrite(fd, "x", 1, 0) != 1)
      _exit(3);
  }
  _exit(fd >= 0 ? 0 : 4);
}

// Three seconds of one-byte rewrites make one record line and its counts, not a line a wake-up.
TEST_F(HostileFolderTest, AFloodOfOneRepeatedRecordIsWrittenOnceAndCounted) {
  putFile(inTree("upload"), "x");
  ASSERT_EQ(chmod(inTree("upload").c_str(), 0666), 0);
  startDaemon();
  const std::string modified = "Inotify event for 1(cookie:0) - upload in " + target() + " - ";
  const auto before = std::filesystem::file_size(logPath());
  const pid_t writer = startFlood(inTree("upload"), 3s);
  int status = -1;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  ASSERT_EQ(status, 0);
  settle();
  const auto growth = std::filesystem::file_size(logPath()) - before;
  EXPECT_LT(growth, 256u * 1024);
  EXPECT_EQ(logCount(modified + "IN_MODIFY"), 1);
  EXPECT_GT(logCountUnfolded(modified + "IN_MODIFY"), 100) << "no flood was seen";
  const std::vector<std::string> messages = logMessages();
  auto line = std::find(messages.begin(), messages.end(), modified + "IN_MODIFY");
  ASSERT_NE(line, messages.end());
  // Only counts follow it, one a second at least, until the writer's close is handled.
  static const std::regex count("Last line repeated [0-9]+ times");
  auto closed = std::find_if_not(line + 1, messages.end(),
                                 [](const std::string& m) { return std::regex_match(m, count); });
  EXPECT_GE(closed - line, 3) << "a count is written every second";
  EXPECT_EQ(std::vector<std::string>(closed, std::min(closed + 3, messages.end())),
            (std::vector<std::string>{"poll exit - 1", modified + "IN_CLOSE_WRITE",
                                      callLine(inTree("upload"))}));
  RecordProperty("log_growth_bytes", static_cast<int>(growth));
}

// Readers that break lines at U+0085, U+2028 or U+2029, or that decode invalid UTF-8 their own
// way, must still see one line per message; the handler still gets the exact bytes.
TEST_F(HostileFolderTest, ANameCannotForgeALineWithUnicodeBreaksOrInvalidUtf8) {
  startDaemon();
  const std::string name =
      "a\xe2\x80\xa8"
      "Error: Unknown error\xc2\x85"
      "b\xe2\x80\xa9"
      "c\xff\xc0\xaf";
  putFile(inTree(name), "x");
  ASSERT_TRUE(waitForHandledPath(inTree(name)));
  settle();
  const std::string log = readWhole(logPath());
  for (const char* raw : {"\xe2\x80\xa8", "\xc2\x85", "\xe2\x80\xa9", "\xff", "\xc0"})
    EXPECT_EQ(occurrences(log, raw), 0u) << "raw bytes in the log";
  EXPECT_TRUE(logContains(callLine(
      inTree("a\\xe2\\x80\\xa8Error: Unknown error\\xc2\\x85b\\xe2\\x80\\xa9c\\xff\\xc0\\xaf"))));
  EXPECT_EQ(logCount("Error: Unknown error"), 0);
}

// A state file where an uploader could put a file, a link or a FIFO of theirs in its place or in
// that of its temporary copy (a directory others can write, sticky or not), or where the handler
// would be handed it (the tree), stops the start.
TEST_F(HostileFolderTest, AStateFileWithinAnUploadersReachStopsTheStart) {
  makeDir("sub");
  for (const auto& [state, why] : std::vector<std::pair<std::string, std::string>>{
           {shared(01777) + "/state", "is in a directory others can write"},
           {inTree("sub/state"), "is in the watched tree"}}) {
    const ProcessResult result =
        runVellumd({"-t", target(), "-h", handlerPath(), "-L", logPath(), "-S", state});
    EXPECT_EQ(result.status, 1) << state;
    EXPECT_EQ(result.err, "Error: State file " + state + " " + why + " - refusing it!!\n");
    stopDaemon();  // one that started anyway
  }
}

// A FIFO or a link to /dev/zero in the state file's place is not read: the daemon starts, says
// why, and puts its own state there. The launcher is stopped after ten seconds of waiting.
TEST_F(HostileFolderTest, AStateFileThatIsAFifoOrALinkIsNeitherWaitedOnNorRead) {
  const std::string state = root() + "/state";
  const std::vector<std::string> args = {"-t", target(),  "-h",      handlerPath(),
                                         "-L", logPath(), "--state", state};
  ASSERT_EQ(mkfifo(state.c_str(), 0600), 0);
  for (const std::string why : {"Not a regular file", "Is a symbolic link"}) {
    const std::string warning =
        "Warning: State file " + state + " cannot be read - " + why + " - nothing caught up";
    const ProcessResult launched = launchDaemon({"timeout", "10"}, args);
    EXPECT_EQ(launched.status, 0);
    EXPECT_EQ(launched.err, warning + "\n");
    EXPECT_TRUE(waitForLog(warning));
    stopDaemon();
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(state)));
    fs::remove(state);
    fs::create_symlink("/dev/zero", state);
  }
}

// The uploader's link or FIFO in the log's place, at the start or after a rotation renamed the
// log, is neither followed nor waited on: the root daemon appends to no file but its own.
TEST_F(HostileFolderTest, AnUploadersLinkOrFifoInPlaceOfTheLogIsNotOpened) {
  const std::string directory = shared(0777);
  const std::string log = directory + "/log";
  const std::string secret = outside() + "/secret";
  const std::vector<std::string> args = {"-t", target(), "-h", handlerPath(), "-L", log};
  for (const auto& [plant, why] : std::vector<std::pair<std::string, std::string>>{
           {"ln -s '" + secret + "' log", "Is a symbolic link"},
           {"mkfifo log", "Not a regular file"}}) {
    asUploader("cd '" + directory + "' && rm -f log && " + plant);
    const ProcessResult launched = launchDaemon({"timeout", "10"}, args);
    EXPECT_EQ(launched.status, 0);
    EXPECT_EQ(launched.err, "Warning: Log file " + log + " is in a directory others can write\n" +
                                "Warning: Can't open log file " + log + " - " + why + "\n");
    stopDaemon();
  }
  asUploader("rm '" + log + "'");
  launchDaemon({}, args);
  ASSERT_TRUE(waitForWatches(1));
  asUploader("cd '" + directory + "' && mv log log.1 && ln -s '" + secret + "' log");
  ASSERT_EQ(kill(pid(), SIGHUP), 0);
  EXPECT_TRUE(waitUntil([&] {
    return readWhole(log + ".1")
               .find("Can't reopen log file " + log +
                     " - Is a symbolic link - logging on to the earlier file") != std::string::npos;
  }));
  EXPECT_EQ(readWhole(secret), "root's");
}

}  // namespace
}  // namespace vellumd::e2e
