// hostile_log_test.cpp: what an uploader can do to the log: flood it with one record, or forge a
// line with a name.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

using HostileLogTest = DaemonTest;

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
TEST_F(HostileLogTest, AFloodOfOneRepeatedRecordIsWrittenOnceAndCounted) {
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
TEST_F(HostileLogTest, ANameCannotForgeALineWithUnicodeBreaksOrInvalidUtf8) {
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

}  // namespace
}  // namespace vellumd::e2e
