// options.cpp: the option scan, the version banner and the usage text.
#include "driver/options.h"

#include <algorithm>
#include <string_view>

#include "log/log.h"

namespace vellumd {

namespace {
// The value of -j: a whole number from 1 to kMaxJobs, nothing else (no sign, no blanks).
bool parseJobs(const std::string& text, size_t& jobs) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  jobs = std::stoul(text);
  return jobs >= 1 && jobs <= kMaxJobs;
}

// The value of -s: a whole number of milliseconds from 0 to kMaxSettleMilliseconds.
bool parseSettle(const std::string& text, long& milliseconds) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  milliseconds = std::stol(text);
  return milliseconds <= kMaxSettleMilliseconds;
}

// A whole number from `low` to `high`, nothing else (no sign, no blanks).
bool parseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stol(text);
  return value >= low && value <= high;
}

// The value of -p: a whole number of milliseconds from kMinPollMilliseconds to
// kMaxPollMilliseconds.
bool parsePoll(const std::string& text, long& milliseconds) {
  if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  milliseconds = std::stol(text);
  return milliseconds >= kMinPollMilliseconds && milliseconds <= kMaxPollMilliseconds;
}
}  // namespace

std::string tidyTarget(const std::string& path) {
  std::string tidy;
  for (size_t at = 0; at < path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    const std::string_view part(path.data() + at, end - at);
    if (!part.empty() && part != ".") {
      if (!tidy.empty() || path.front() == '/')
        tidy += '/';
      tidy += part;
    }
    at = end + 1;
  }
  if (tidy.empty())
    return path.empty() ? path : path.front() == '/' ? "/" : ".";
  return tidy;
}

std::string versionBanner() {
  return std::string("vellumd : Ver.1.01(compiled :") + __DATE__ + " " + __TIME__ + ")\n";
}

std::string usageText() {
  return "Usage: vellumd -t DIRECTORY -h HANDLER [-L LOGFILE] [-f] [-j N] [-S FILE] [-s MS]\n"
         "               [-x GLOB]... [-m FILE] [-p MS] [-T SECONDS] [-r N] [--retry-delay MS]\n"
         "               [-E N]\n"
         "       vellumd -V | --help\n"
         "Runs HANDLER with the path of every file completed in the tree DIRECTORY.\n"
         "  -t, --target DIRECTORY  the tree to watch (an absolute path)\n"
         "  -h, --handler HANDLER   the program to run, with the file's path as its argument\n"
         "  -L, --log LOGFILE       the log, appended to and created if missing\n"
         "  -f, --foreground        stay in the foreground; log to standard error without -L\n"
         "  -j, --jobs N            run at most N handlers at once (1 to " +
         std::to_string(kMaxJobs) +
         "; default: no limit)\n"
         "  -S, --state FILE        keep in FILE how far the tree was handled, and catch up\n"
         "                          from it at start: files changed meanwhile are handled\n"
         "  -s, --settle MS         run for a name only once it has been quiet for MS\n"
         "                          milliseconds (0 to " +
         std::to_string(kMaxSettleMilliseconds) +
         "; default 0)\n"
         "  -x, --exclude GLOB      never hand over names matching GLOB, nor watch such\n"
         "                          directories (repeatable)\n"
         "  -m, --metrics FILE      keep FILE up to date in the Prometheus text format, for\n"
         "                          node_exporter's textfile collector\n"
         "  -p, --poll MS           read the tree every MS milliseconds (" +
         std::to_string(kMinPollMilliseconds) + " to " + std::to_string(kMaxPollMilliseconds) +
         ")\n"
         "                          instead of watching it: for network and FUSE mounts\n"
         "  -T, --timeout SECONDS   stop a run that lasts longer (1 to " +
         std::to_string(kMaxTimeoutSeconds) +
         "; default: no limit)\n"
         "  -r, --retries N         run a failed run again up to N more times (0 to " +
         std::to_string(kMaxRetries) +
         "; default 0)\n"
         "      --retry-delay MS    wait MS milliseconds before the first retry, twice as long\n"
         "                          before each later one (1 to " +
         std::to_string(kMaxRetryDelayMilliseconds) +
         "; default 1000)\n"
         "  -E, --error-lines N     log the last N lines a failed run wrote on its standard\n"
         "                          error (0 to " +
         std::to_string(kMaxErrorLines) +
         "; default 0)\n"
         "  -V, --version           print the version and exit\n"
         "      --help              print this text and exit\n"
         "Signals: HUP reopens the log; USR1 logs a status line; TERM and INT stop the daemon.\n";
}

CommandLine scanCommandLine(const std::vector<std::string>& args,
                            const std::function<void(const std::string&)>& openLog) {
  CommandLine line;
  std::string firstFailure;
  auto noteFailure = [&firstFailure](const std::string& message) {
    if (firstFailure.empty())
      firstFailure = message;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-V" || arg == "--version") {
      line.action = CommandLine::Action::kPrintVersion;
      return line;
    }
    if (arg == "--help") {
      line.action = CommandLine::Action::kPrintHelp;
      return line;
    }
    if (arg == "-f" || arg == "--foreground") {
      line.foreground = true;
      continue;
    }
    const bool isTarget = arg == "-t" || arg == "--target";
    const bool isHandler = arg == "-h" || arg == "--handler";
    const bool isLog = arg == "-L" || arg == "--log";
    const bool isJobs = arg == "-j" || arg == "--jobs";
    const bool isState = arg == "-S" || arg == "--state";
    const bool isSettle = arg == "-s" || arg == "--settle";
    const bool isExclude = arg == "-x" || arg == "--exclude";
    const bool isMetrics = arg == "-m" || arg == "--metrics";
    const bool isTimeout = arg == "-T" || arg == "--timeout";
    const bool isRetries = arg == "-r" || arg == "--retries";
    const bool isRetryDelay = arg == "--retry-delay";
    const bool isErrorLines = arg == "-E" || arg == "--error-lines";
    const bool isNumber = isTimeout || isRetries || isRetryDelay || isErrorLines;
    const bool isPoll = arg == "-p" || arg == "--poll";
    if (!isTarget && !isHandler && !isLog && !isJobs && !isState && !isSettle && !isExclude &&
        !isMetrics && !isNumber && !isPoll) {
      if (!arg.empty() && arg.front() == '-')
        line.unknownOptions.push_back(arg);
      continue;
    }
    if (i + 1 == args.size()) {
      noteFailure(isTarget       ? "No target specified!!"
                  : isHandler    ? "No handler specified!!"
                  : isLog        ? "No log file specified!!"
                  : isJobs       ? "No job limit specified!!"
                  : isState      ? "No state file specified!!"
                  : isSettle     ? "No settle time specified!!"
                  : isMetrics    ? "No metrics file specified!!"
                  : isTimeout    ? "No time limit specified!!"
                  : isRetries    ? "No retry count specified!!"
                  : isRetryDelay ? "No retry delay specified!!"
                  : isErrorLines ? "No error line count specified!!"
                  : isPoll       ? "No poll interval specified!!"
                                 : "No exclude pattern specified!!");
      break;
    }
    const std::string& value = args[++i];
    if (isTarget) {
      line.target = value;
    } else if (isHandler) {
      line.handler = value;
    } else if (isLog) {
      openLog(value);
    } else if (isJobs) {
      if (!parseJobs(value, line.jobs)) {
        noteFailure("Invalid value for " + arg + ": '" + escapeForLog(value) +
                    "' (a number from 1 to " + std::to_string(kMaxJobs) + ")!!");
      }
    } else if (isSettle) {
      if (!parseSettle(value, line.settleMilliseconds)) {
        noteFailure("Invalid value for " + arg + ": '" + escapeForLog(value) +
                    "' (milliseconds from 0 to " + std::to_string(kMaxSettleMilliseconds) + ")!!");
      }
    } else if (isPoll) {
      if (!parsePoll(value, line.pollMilliseconds)) {
        noteFailure("Invalid value for " + arg + ": '" + escapeForLog(value) +
                    "' (milliseconds from " + std::to_string(kMinPollMilliseconds) + " to " +
                    std::to_string(kMaxPollMilliseconds) + ")!!");
      }
    } else if (isNumber) {
      struct Range {
        long low, high;
        long* value;
        const char* unit;
      };
      const Range range = isTimeout ? Range{1, kMaxTimeoutSeconds, &line.timeoutSeconds, "seconds"}
                          : isRetries    ? Range{0, kMaxRetries, &line.retries, "a number"}
                          : isRetryDelay ? Range{1, kMaxRetryDelayMilliseconds,
                                                 &line.retryDelayMilliseconds, "milliseconds"}
                                         : Range{0, kMaxErrorLines, &line.errorLines, "a number"};
      if (!parseNumber(value, range.low, range.high, *range.value)) {
        noteFailure("Invalid value for " + arg + ": '" + escapeForLog(value) + "' (" + range.unit +
                    " from " + std::to_string(range.low) + " to " + std::to_string(range.high) +
                    ")!!");
      }
    } else if (value.empty()) {
      noteFailure("Invalid value for " + arg + ": '' (" +
                  (isExclude ? "a pattern" : "a file name") + ", not empty)!!");
    } else if (isState) {
      line.statePath = value;
    } else if (isMetrics) {
      line.metricsPath = value;
    } else {
      line.excludes.push_back(value);
    }
  }
  line.target = tidyTarget(line.target);
  if (firstFailure.empty() && line.target.empty())
    firstFailure = "No target specified!!";
  if (firstFailure.empty() && line.handler.empty())
    firstFailure = "No handler specified!!";
  if (!firstFailure.empty()) {
    line.action = CommandLine::Action::kFail;
    line.failure = firstFailure;
  }
  return line;
}

}  // namespace vellumd
