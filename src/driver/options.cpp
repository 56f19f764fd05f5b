// options.cpp: the option scan, the version banner and the usage text.
#include "driver/options.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "log/log.h"

namespace vellumd {

namespace {
// A whole number from `low` to `high`, nothing else (no sign, no blanks).
bool parseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stol(text);
  return value >= low && value <= high;
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

namespace {
using OpenLog = std::function<void(const std::string&)>;

std::string invalidValue(const std::string& arg, const std::string& value,
                         const std::string& expected) {
  return "Invalid value for " + arg + ": '" + escapeForLog(value) + "' (" + expected + ")!!";
}

// A whole number from `low` to `high` into `field`; the failure, or "".
std::string takeNumber(const std::string& arg, const std::string& value, long low, long high,
                       const char* unit, long& field) {
  if (parseNumber(value, low, high, field))
    return "";
  return invalidValue(
      arg, value,
      std::string(unit) + " from " + std::to_string(low) + " to " + std::to_string(high));
}

// A value that must not be empty into `field`; the failure, or "".
std::string takeNamed(const std::string& arg, const std::string& value, const char* what,
                      std::string& field) {
  if (value.empty())
    return invalidValue(arg, value, std::string(what) + ", not empty");
  field = value;
  return "";
}

// An option that takes the next argument as its value: its spellings, what its absence is
// called, and what it does with the value (the failure it finds, or "").
struct ValueOption {
  const char* shortName;  // empty: none
  const char* longName;
  const char* missing;
  std::string (*take)(const std::string& arg, const std::string& value, CommandLine& line,
                      const OpenLog& openLog);
};

const ValueOption kValueOptions[] = {
    {"-t", "--target", "No target specified!!",
     [](const std::string&, const std::string& value, CommandLine& line, const OpenLog&) {
       line.target = value;
       return std::string();
     }},
    {"-h", "--handler", "No handler specified!!",
     [](const std::string&, const std::string& value, CommandLine& line, const OpenLog&) {
       line.handler = value;
       return std::string();
     }},
    {"-L", "--log", "No log file specified!!",
     [](const std::string&, const std::string& value, CommandLine&, const OpenLog& openLog) {
       openLog(value);
       return std::string();
     }},
    {"-j", "--jobs", "No job limit specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       long jobs = 0;
       std::string failure = takeNumber(arg, value, 1, kMaxJobs, "a number", jobs);
       line.jobs = static_cast<size_t>(jobs);
       return failure;
     }},
    {"-S", "--state", "No state file specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNamed(arg, value, "a file name", line.statePath);
     }},
    {"-s", "--settle", "No settle time specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNumber(arg, value, 0, kMaxSettleMilliseconds, "milliseconds",
                         line.settleMilliseconds);
     }},
    {"-x", "--exclude", "No exclude pattern specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       std::string pattern;
       std::string failure = takeNamed(arg, value, "a pattern", pattern);
       if (failure.empty())
         line.excludes.push_back(pattern);
       return failure;
     }},
    {"-m", "--metrics", "No metrics file specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNamed(arg, value, "a file name", line.metricsPath);
     }},
    {"-p", "--poll", "No poll interval specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNumber(arg, value, kMinPollMilliseconds, kMaxPollMilliseconds, "milliseconds",
                         line.pollMilliseconds);
     }},
    {"-T", "--timeout", "No time limit specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNumber(arg, value, 1, kMaxTimeoutSeconds, "seconds", line.timeoutSeconds);
     }},
    {"-r", "--retries", "No retry count specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNumber(arg, value, 0, kMaxRetries, "a number", line.retries);
     }},
    {"", "--retry-delay", "No retry delay specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNumber(arg, value, 1, kMaxRetryDelayMilliseconds, "milliseconds",
                         line.retryDelayMilliseconds);
     }},
    {"-E", "--error-lines", "No error line count specified!!",
     [](const std::string& arg, const std::string& value, CommandLine& line, const OpenLog&) {
       return takeNumber(arg, value, 0, kMaxErrorLines, "a number", line.errorLines);
     }},
};

const ValueOption* findValueOption(const std::string& arg) {
  for (const ValueOption& option : kValueOptions) {
    if (arg == option.longName || (option.shortName[0] != '\0' && arg == option.shortName))
      return &option;
  }
  return nullptr;
}
}  // namespace

CommandLine scanCommandLine(const std::vector<std::string>& args, const OpenLog& openLog) {
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
    const ValueOption* option = findValueOption(arg);
    if (option == nullptr) {
      if (!arg.empty() && arg.front() == '-')
        line.unknownOptions.push_back(arg);
      continue;
    }
    if (i + 1 == args.size()) {
      noteFailure(option->missing);
      break;
    }
    noteFailure(option->take(arg, args[++i], line, openLog));
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
