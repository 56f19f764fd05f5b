// load_test.cpp: under concurrent writers the handler still runs exactly once per file.
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

constexpr int kWriters = 4;
constexpr int kFilesPerWriter = 1000;

class LoadTest : public DaemonTest {};

TEST_F(LoadTest, FourConcurrentWritersOfAThousandFilesEachGetExactlyOneRunPerFile) {
  for (int w = 0; w < kWriters; ++w)
    makeDir("writer-" + std::to_string(w));
  startDaemon();

  std::set<std::string> expected;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kFilesPerWriter; ++i) {
      expected.insert(inTree("writer-" + std::to_string(w) + "/file-" + std::to_string(i)));
    }
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([this, w] {
      const std::string dir = inTree("writer-" + std::to_string(w));
      for (int i = 0; i < kFilesPerWriter; ++i) {
        std::ofstream(dir + "/file-" + std::to_string(i)) << "payload " << i << '\n';
      }
    });
  }
  for (std::thread& writer : writers)
    writer.join();
  // Written last, after every other file was closed: once it is handled, all the records before
  // it have been read.
  writeFile("last", "");
  const std::string lastCall = "with argument: " + inTree("last") + "\n";
  // The log grows to tens of thousands of lines: search it whole instead of parsing each line.
  auto overflowed = [&] { return readWhole(logPath()).find("IN_Q_OVERFLOW") != std::string::npos; };
  ASSERT_TRUE(waitUntil(
      [&] { return overflowed() || readWhole(logPath()).find(lastCall) != std::string::npos; },
      60s))
      << "the daemon never reached the last file";
  if (overflowed())
    GTEST_SKIP() << "the kernel's queue overflowed: records were lost";

  const size_t calls = occurrences(readWhole(logPath()), ": Call handler ");
  ASSERT_TRUE(waitUntil([&] { return handled().size() >= calls; }, 60s))
      << handled().size() << " recorded of " << calls << " calls";
  std::vector<std::string> paths = handled();
  std::multiset<std::string> seen(paths.begin(), paths.end());
  seen.erase(inTree("last"));
  std::vector<std::string> missing;
  std::vector<std::string> repeated;
  for (const std::string& path : expected) {
    const size_t runs = seen.count(path);
    if (runs == 0)
      missing.push_back(path);
    if (runs > 1)
      repeated.push_back(path);
  }
  EXPECT_TRUE(missing.empty()) << missing.size() << " never handled, such as " << missing.front();
  EXPECT_TRUE(repeated.empty()) << repeated.size() << " handled more than once, such as "
                                << repeated.front();
  EXPECT_EQ(seen.size(), expected.size()) << "runs for paths that were never written";
}

}  // namespace
}  // namespace vellumd::e2e
