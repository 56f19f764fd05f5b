// log.cpp: timestamped log lines, their recovery after a failed write, and the fatal exit.
#include "log/log.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "log/log_fold.h"

namespace vellumd {

namespace {
// The formatted time and the second it was formatted for: lines within one second reuse it.
// localtime() looks at the zone file on every call, a stat() per line when a burst is logged.
// Single-threaded, so plain statics do.
char timeText[32];
time_t timeValue = -1;

const char* currentStamp() {
  const time_t now = time(nullptr);
  if (now != timeValue) {
    timeValue = now;
    struct tm* local = localtime(&now);
    if (local == nullptr || strftime(timeText, sizeof timeText, "%Y/%m/%d %H:%M:%S", local) == 0) {
      timeText[0] = '\0';
    }
  }
  return timeText;
}

void appendLine(std::string& text, const char* stamp, const std::string& message) {
  text.append(stamp).append(": ").append(message).push_back('\n');
}

// Decodes the UTF-8 sequence at the start of `text`: its length, or 0 when it is not valid
// (truncated, overlong, a surrogate, beyond U+10FFFF). `codePoint` receives the character.
size_t utf8Sequence(std::string_view text, char32_t& codePoint) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length;
  char32_t minimum;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    minimum = 0x80;
    codePoint = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    minimum = 0x800;
    codePoint = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    minimum = 0x10000;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length)
    return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80)
      return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3f);
  }
  if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
    return 0;
  return length;
}

// Characters that some readers take for a line break (NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR)
// or, like the rest of the C1 range, for a terminal control; and the invisible format characters,
// among them the bidirectional controls, with which a name shows as another in any viewer
// ("invoice", RIGHT-TO-LEFT OVERRIDE, "fdp.exe" reads "invoiceexe.pdf").
bool breaksOrControls(char32_t codePoint) {
  if (codePoint >= 0x80 && codePoint <= 0x9f)
    return true;
  switch (codePoint) {
    case 0x00ad:  // soft hyphen
    case 0x061c:  // Arabic letter mark
    case 0x180e:  // Mongolian vowel separator
    case 0x2028:
    case 0x2029:
    case 0xfeff:  // zero width no-break space
      return true;
    default:
      break;
  }
  return (codePoint >= 0x200b && codePoint <= 0x200f) ||  // zero widths, LRM, RLM
         (codePoint >= 0x202a && codePoint <= 0x202e) ||  // embeddings and overrides
         (codePoint >= 0x2060 && codePoint <= 0x206f) ||  // joiners, isolates, invisible operators
         (codePoint >= 0xfff9 && codePoint <= 0xfffb) ||  // interlinear annotations
         (codePoint >= 0xe0000 && codePoint <= 0xe007f);  // tags
}

void appendHex(std::string& escaped, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  escaped += "\\x";
  escaped += kHex[byte >> 4];
  escaped += kHex[byte & 0xf];
}
}  // namespace

namespace detail {

int lostLinesSlot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}

int foldSlot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}

int standardErrorSlot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}

int batchSlot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}

// Writes `text`, which holds `lines` whole lines, in one write(); keeps the lost-line count.
void writeText(const std::string& text, long lines, std::ostream& log) {
  long& lost = log.iword(lostLinesSlot());
  // A failed write leaves the stream failed for good unless its state is cleared: the file
  // system may have room again by now.
  log.clear();
  log.write(text.data(), static_cast<std::streamsize>(text.size()));
  log.flush();
  if (log.good()) {
    lost = 0;
  } else {
    lost += lines;
  }
}

void writeLine(const std::string& message, std::ostream& log) {
  if (auto* batch = static_cast<LogBatch*>(log.pword(batchSlot()))) {
    batch->hold(message);
    return;
  }
  const char* stamp = currentStamp();
  const long lost = log.iword(lostLinesSlot());
  // One write of the whole text, so that lines from the daemon and from others appending to the
  // same file never interleave.
  std::string text;
  text.reserve(sizeof timeText + 2 + message.size() + 1);
  if (lost > 0)
    appendLine(text, stamp, "Log write failed - " + std::to_string(lost) + " lines lost");
  appendLine(text, stamp, message);
  writeText(text, 1, log);
}

}  // namespace detail

void writeLog(const std::string& message, std::ostream* log) {
  if (log == nullptr)
    return;
  if (auto* fold = static_cast<LogFold*>(log->pword(detail::foldSlot())))
    fold->flush();
  detail::writeLine(message, *log);
}

LogBatch::LogBatch(std::ostream* log) : log_(log) {
  if (log_ == nullptr || log_->pword(detail::batchSlot()) != nullptr) {
    log_ = nullptr;
    return;
  }
  log_->pword(detail::batchSlot()) = this;
}

LogBatch::~LogBatch() {
  if (log_ == nullptr)
    return;
  write();
  log_->pword(detail::batchSlot()) = nullptr;
}

void LogBatch::hold(const std::string& line) {
  const char* stamp = currentStamp();
  // Lines lost before this batch are told before its first line; those it loses, before the
  // first line written after it.
  if (held_.empty()) {
    if (const long lost = log_->iword(detail::lostLinesSlot()); lost > 0)
      appendLine(held_, stamp, "Log write failed - " + std::to_string(lost) + " lines lost");
  }
  appendLine(held_, stamp, line);
  ++heldLines_;
  if (held_.size() >= kMaxHeld)
    write();
}

void LogBatch::write() {
  if (log_ == nullptr || held_.empty())
    return;
  detail::writeText(held_, heldLines_, *log_);
  held_.clear();
  heldLines_ = 0;
}

void fatal(int status, const std::string& message, std::ostream* log,
           const std::function<void(const std::string& line)>& beforeExit) {
  const std::string line = "Error: " + message;
  if (log == nullptr || log->iword(detail::standardErrorSlot()) == 0)
    std::cerr << line << std::endl;
  writeLog(line, log);
  // exit() runs no destructor of the stack: what a batch holds is written here.
  if (log != nullptr) {
    if (auto* batch = static_cast<LogBatch*>(log->pword(detail::batchSlot())))
      batch->write();
  }
  if (beforeExit)
    beforeExit(line);
  exit(status);
}

void markAsStandardError(std::ostream& log) {
  log.iword(detail::standardErrorSlot()) = 1;
}

std::string escapeForLog(std::string_view text) {
  // Most names need nothing escaped: they are copied whole.
  if (std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte >= 0x7f || c == '\\';
      })) {
    return std::string(text);
  }
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      char32_t codePoint = 0;
      const size_t length = utf8Sequence(text.substr(i), codePoint);
      if (length == 0 || breaksOrControls(codePoint)) {
        // Escaped a byte at a time: an invalid sequence may hide a valid one after its lead byte.
        const size_t escapedBytes = length == 0 ? 1 : length;
        for (size_t j = 0; j < escapedBytes; ++j)
          appendHex(escaped, static_cast<unsigned char>(text[i + j]));
        i += escapedBytes;
      } else {
        escaped.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
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
          appendHex(escaped, byte);
        } else {
          escaped += c;
        }
    }
    ++i;
  }
  return escaped;
}

}  // namespace vellumd
