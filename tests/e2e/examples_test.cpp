// examples_test.cpp: the shipped example handlers on a drop folder, run by the real daemon.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

namespace fs = std::filesystem;

class ExamplesTest : public DaemonTest {
 protected:
  // The handlers' settings, as the units give them; the daemon started later inherits them.
  void SetUp() override {
    DaemonTest::SetUp();
    setenv("VELLUMD_TARGET", target().c_str(), 1);
    setenv("DONE_DIR", done("").c_str(), 1);
    setenv("CHECKSUM_LOG", (root() + "/sums").c_str(), 1);
    setenv("ARRIVALS_LOG", (root() + "/arrivals").c_str(), 1);
  }
  std::string done(const std::string& relative) const { return root() + "/done/" + relative; }
  static std::string example(const std::string& name) {
    return (fs::path(__FILE__).parent_path() / "../../examples" / name).lexically_normal();
  }
  void startWith(const std::string& name, const std::vector<std::string>& options = {},
                 int expectedWatches = -1) {
    std::vector<std::string> args = {"-t", target(), "-h", example(name), "-L", logPath()};
    args.insert(args.end(), options.begin(), options.end());
    startDaemon(expectedWatches, args);
  }
  std::string failure(const std::string& relative) const {
    return "Handler for " + inTree(relative) + " exited with status 1";
  }
  // Moves in a directory with a nested file, a name holding a newline and a leading dash, and a
  // link to a file outside the tree.
  void moveInDirectory() {
    fs::create_directories(root() + "/batch/deep");
    putFile(root() + "/batch/deep/a.txt", "a");
    putFile(root() + "/batch/-n\nb.txt", "b");
    putFile(root() + "/secret", "s");
    fs::create_symlink(root() + "/secret", root() + "/batch/link");
    fs::rename(root() + "/batch", inTree("batch"));
  }
};

TEST_F(ExamplesTest, MoveToDoneKeepsPathsBelowTheTreeAndNeverOverwrites) {
  makeDir("u1");
  makeDir("u2");
  startWith("move-to-done");
  writeFile("u1/same.txt", "one");
  writeFile("u2/same.txt", "two");
  ASSERT_TRUE(waitUntil([&] {
    return readWhole(done("u1/same.txt")) == "one" && readWhole(done("u2/same.txt")) == "two";
  }));
  writeFile("u1/same.txt", "three");
  ASSERT_TRUE(waitUntil([&] { return readWhole(done("u1/same.1.txt")) == "three"; }));
  EXPECT_EQ(readWhole(done("u1/same.txt")), "one");
}

TEST_F(ExamplesTest, MoveToDoneAndChecksumTakeEveryRegularFileOfADirectoryMovedIn) {
  startWith("move-to-done");
  moveInDirectory();
  ASSERT_TRUE(waitUntil([&] {
    return readWhole(done("batch/-n\nb.txt")) + readWhole(done("batch/deep/a.txt")) == "ba";
  }));
  EXPECT_EQ(readWhole(root() + "/secret"), "s");
  stopDaemon();
  fs::remove_all(target());
  fs::create_directory(target());
  startWith("checksum");
  moveInDirectory();
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(root() + "/sums"), "\n") == 2; }));
  const std::string sums = readWhole(root() + "/sums");
  EXPECT_EQ(occurrences(sums, "  " + inTree("batch/deep/a.txt") + "\n"), 1u) << sums;
  EXPECT_EQ(occurrences(sums, "  " + inTree("batch/-n\\nb.txt") + "\n"), 1u) << sums;
}

// A handler that did not do its job says so with its status, which the daemon logs: a path through
// a link that the daemon follows (root's) but that leads out of the tree is refused, and
// move-to-done without the tree refuses to guess where below DONE_DIR a file belongs.
TEST_F(ExamplesTest, AnExampleThatDidNotDoItsJobExitsNonZeroAndLeavesEverythingAsItWas) {
  fs::create_directory(root() + "/outside");
  fs::create_symlink(root() + "/outside", inTree("via"));
  startWith("record-arrival", {}, 2);
  putFile(root() + "/outside/o.txt", "o");
  writeFile("in.txt", "in");
  ASSERT_TRUE(waitForLog(failure("via/o.txt")));
  ASSERT_TRUE(waitUntil([&] { return occurrences(readWhole(root() + "/arrivals"), "\n") == 1; }));
  EXPECT_EQ(occurrences(readWhole(root() + "/arrivals"), inTree("in.txt") + " (2 bytes)"), 1u);
  EXPECT_EQ(occurrences(readWhole(logPath()), "exited with status"), 1u);
  stopDaemon();

  unsetenv("VELLUMD_TARGET");
  makeDir("sub");
  startWith("move-to-done", {}, 3);
  writeFile("sub/x.txt", "x");
  ASSERT_TRUE(waitForLog(failure("sub/x.txt")));
  EXPECT_EQ(readWhole(inTree("sub/x.txt")), "x");
  EXPECT_FALSE(fs::exists(done("x.txt")) || fs::exists(done("sub/x.txt")));
  const ProcessResult direct = runProcess({example("move-to-done"), inTree("sub/x.txt")});
  EXPECT_EQ(direct.status, 1);
  EXPECT_NE(direct.err.find("VELLUMD_TARGET is not set"), std::string::npos) << direct.err;
}

// rsync writes each file under a temporary name and renames it: with the settle time, only the
// final names run, and the handler never takes a file from under the upload.
TEST_F(ExamplesTest, AnRsyncUploadWithSettleRunsOncePerFileAndNeverForATemporaryName) {
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) {
    fs::create_directories(root() + "/upload/d" + std::to_string(i % 4));
    putFile(root() + "/upload/d" + std::to_string(i % 4) + "/f" + std::to_string(i),
            "content " + std::to_string(i));
  }
  startWith("move-to-done", {"--settle", "300"});
  const ProcessResult rsync = runProcess({"rsync", "-a", root() + "/upload/", target() + "/"});
  ASSERT_EQ(rsync.status, 0) << rsync.err;
  const auto moved = [&] {
    int count = 0;
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "d" + std::to_string(i % 4) + "/f" + std::to_string(i);
      count += readWhole(done(name)) == "content " + std::to_string(i);
    }
    return count;
  };
  ASSERT_TRUE(waitUntil([&] { return moved() == kFiles; }, 30s)) << moved() << " moved";
  const std::string log = readWhole(logPath());
  EXPECT_EQ(occurrences(log, "Call handler "), static_cast<size_t>(kFiles));
  EXPECT_EQ(occurrences(log, "with argument: " + target() + "/d0/."), 0u);
}

}  // namespace
}  // namespace vellumd::e2e
