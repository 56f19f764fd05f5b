// log.cpp: timestamped log lines and the fatal exit.
#include "log/log.h"

#include <cstdlib>
#include <ctime>
#include <iostream>

namespace vellumd {

namespace {
// The formatted time and the second it was formatted for: lines within one second reuse it.
// localtime() looks at the zone file on every call, a stat() per line when a burst is logged.
// Single-threaded, so plain statics do.
char timeText[32];
time_t timeValue = -1;
}  // namespace

void writeLog(const std::string& message, std::ostream* log) {
  if (log == nullptr)
    return;
  const time_t now = time(nullptr);
  if (now != timeValue) {
    timeValue = now;
    struct tm* local = localtime(&now);
    if (local == nullptr || strftime(timeText, sizeof timeText, "%Y/%m/%d %H:%M:%S", local) == 0) {
      timeText[0] = '\0';
    }
  }
  // One write of the whole line, so that lines from the daemon and from a forked child sharing
  // the append-mode descriptor never interleave.
  std::string line;
  line.reserve(sizeof timeText + 2 + message.size() + 1);
  line.append(timeText).append(": ").append(message).push_back('\n');
  log->write(line.data(), static_cast<std::streamsize>(line.size()));
  log->flush();
}

void fatal(int status, const std::string& message, std::ostream* log) {
  std::cerr << "Error: " << message << std::endl;
  writeLog("Error: " + message, log);
  exit(status);
}

std::string escapeForLog(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          escaped += "\\x";
          escaped += kHex[byte >> 4];
          escaped += kHex[byte & 0xf];
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

}  // namespace vellumd
