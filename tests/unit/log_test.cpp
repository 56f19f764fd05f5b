// log_test.cpp: the timestamped log line, the escaping of names for it, and the fatal exit.
#include "log/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace vellumd {
namespace {

std::string localStamp(time_t when) {
  char text[32];
  strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", localtime(&when));
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class TempFile {
 public:
  TempFile() {
    char pattern[] = "/tmp/vellumd_log_XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0)
      close(fd);
    path_ = pattern;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(WriteLogTest, LineIsLocalTimestampColonBlankMessageAndOneEndOfLine) {
  writeLog("nobody listens", nullptr);  // no log: nothing happens

  std::ostringstream log;
  const time_t before = time(nullptr);
  writeLog("Start as daemon...", &log);
  const time_t after = time(nullptr);

  const std::string line = log.str();
  static const std::regex kForm(
      R"(^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: Start as daemon\.\.\.\n$)");
  EXPECT_TRUE(std::regex_match(line, kForm)) << line;
  // Local time, year first: the stamp is one of the seconds the call spanned.
  const std::string stamp = line.substr(0, 19);
  EXPECT_TRUE(stamp == localStamp(before) || stamp == localStamp(after)) << stamp;
}

TEST(WriteLogTest, MessageWithLineBreaksIsWrittenUnchanged) {
  std::ostringstream log;
  writeLog("first\nsecond\\x", &log);
  writeLog("", &log);
  const std::string text = log.str();
  static const std::regex kTwoLines(
      R"(^[0-9/]{10} [0-9:]{8}: first\nsecond\\x\n[0-9/]{10} [0-9:]{8}: \n$)");
  EXPECT_TRUE(std::regex_match(text, kTwoLines)) << text;
}

// Lines must reach the file at once: a handler forked later shares the descriptor, and the log is
// read while the daemon runs.
TEST(WriteLogTest, EachLineIsFlushedToTheFileAtOnce) {
  TempFile file;
  std::ofstream log(file.path(), std::ios::out | std::ios::app);
  writeLog("poll exit - 1", &log);
  const std::string content = readFile(file.path());
  EXPECT_EQ(content.size(), 19u + 2u + 13u + 1u) << content;
  EXPECT_NE(content.find(": poll exit - 1\n"), std::string::npos) << content;
}

TEST(EscapeForLogTest, ControlBytesAndBackslashAreEscaped) {
  EXPECT_EQ(escapeForLog("a\nb"), "a\\nb");
  EXPECT_EQ(escapeForLog("\t"), "\\t");
  EXPECT_EQ(escapeForLog("\r"), "\\r");
  EXPECT_EQ(escapeForLog("\\"), "\\\\");
  EXPECT_EQ(escapeForLog("\x01"), "\\x01");
  EXPECT_EQ(escapeForLog("\x1b[31m"), "\\x1b[31m");
  EXPECT_EQ(escapeForLog("\x1f"), "\\x1f");
  EXPECT_EQ(escapeForLog("\x7f"), "\\x7f");
  EXPECT_EQ(escapeForLog(std::string_view("a\0b", 3)), "a\\x00b");
  // A forged line: the escaped text stays on one line and shows where the break was.
  const std::string forged = escapeForLog("x\n2024/01/01 00:00:00: Call handler");
  EXPECT_EQ(forged.find('\n'), std::string::npos);
  EXPECT_EQ(forged, "x\\n2024/01/01 00:00:00: Call handler");
}

TEST(EscapeForLogTest, PrintableTextAndUtf8AreKept) {
  EXPECT_EQ(escapeForLog(""), "");
  EXPECT_EQ(escapeForLog("/srv/in/a b-c.txt ~!"), "/srv/in/a b-c.txt ~!");
  EXPECT_EQ(escapeForLog("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"),
            "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(escapeForLog(" "), " ");
  EXPECT_EQ(escapeForLog("\xf0\x9f\x93\x84 U+10FFFF \xf4\x8f\xbf\xbf"),
            "\xf0\x9f\x93\x84 U+10FFFF \xf4\x8f\xbf\xbf");
}

// Readers that honour Unicode break lines at NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR: a name
// holding one could forge a line. Invalid UTF-8 is shown byte by byte, so that a reader that
// decodes it cannot be led to see a break either.
TEST(EscapeForLogTest, UnicodeLineBreaksC1ControlsAndInvalidUtf8AreEscapedByteByByte) {
  EXPECT_EQ(escapeForLog("a\xc2\x85"
                         "Error: Unknown error"),
            "a\\xc2\\x85Error: Unknown error");
  EXPECT_EQ(escapeForLog("\xe2\x80\xa8\xe2\x80\xa9"), "\\xe2\\x80\\xa8\\xe2\\x80\\xa9");
  EXPECT_EQ(escapeForLog("\xc2\x9b"
                         "31m"),
            "\\xc2\\x9b31m");  // the 8-bit CSI
  EXPECT_EQ(escapeForLog("\x80\xff"), "\\x80\\xff");
  EXPECT_EQ(escapeForLog("\xc0\xaf"), "\\xc0\\xaf");                    // overlong "/"
  EXPECT_EQ(escapeForLog("\xed\xa0\x80"), "\\xed\\xa0\\x80");           // a surrogate
  EXPECT_EQ(escapeForLog("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // beyond U+10FFFF
  // A truncated sequence is escaped alone; the valid character after it is kept.
  EXPECT_EQ(escapeForLog("\xe2\x80\xc3\xa9"), "\\xe2\\x80\xc3\xa9");
  EXPECT_EQ(escapeForLog("end\xe2\x80"), "end\\xe2\\x80");
  // Bidirectional controls and other invisible format characters: "invoice", RIGHT-TO-LEFT
  // OVERRIDE, "fdp.exe" would read "invoiceexe.pdf"; an isolate or a zero width space hides too.
  EXPECT_EQ(escapeForLog("invoice\xe2\x80\xae"
                         "fdp.exe"),
            "invoice\\xe2\\x80\\xaefdp.exe");
  EXPECT_EQ(escapeForLog("a\xe2\x81\xa6"
                         "b\xe2\x80\x8b"
                         "c\xef\xbb\xbf"),
            "a\\xe2\\x81\\xa6b\\xe2\\x80\\x8bc\\xef\\xbb\\xbf");
}

TEST(FatalDeathTest, PrintsErrorOnStandardErrorAndExitsWithStatus) {
  EXPECT_EXIT(fatal(1, "No handler specified!!", nullptr), ::testing::ExitedWithCode(1),
              "^Error: No handler specified!!\n$");
  EXPECT_EXIT(fatal(3, "Unknown error", nullptr), ::testing::ExitedWithCode(3),
              "^Error: Unknown error\n$");
}

TEST(FatalDeathTest, AlsoWritesTheErrorAsALogLine) {
  TempFile file;
  const std::string path = file.path();
  EXPECT_EXIT(
      {
        // exit() never destroys this stream nor the batch: the lines must already be written.
        std::ofstream log(path, std::ios::out | std::ios::app);
        LogBatch batch(&log);
        writeLog("poll exit - 1", &log);
        fatal(3, "Unknown error", &log);
      },
      ::testing::ExitedWithCode(3), "Error: Unknown error");
  static const std::regex kLine(
      R"(^[0-9/]{10} [0-9:]{8}: poll exit - 1\n[0-9/]{10} [0-9:]{8}: Error: Unknown error\n$)");
  const std::string content = readFile(path);
  EXPECT_TRUE(std::regex_match(content, kLine)) << content;
}

}  // namespace
}  // namespace vellumd
