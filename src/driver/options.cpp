// options.cpp: the option scan, the version banner and the usage text.
#include "driver/options.h"

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
}  // namespace

std::string versionBanner() {
  return std::string("vellumd : Ver.1.01(compiled :") + __DATE__ + " " + __TIME__ + ")\n";
}

std::string usageText() {
  return "Usage: vellumd -t DIRECTORY -h HANDLER [-L LOGFILE] [-f] [-j N]\n"
         "       vellumd -V | --help\n"
         "Runs HANDLER with the path of every file completed in the tree DIRECTORY.\n"
         "  -t, --target DIRECTORY  the tree to watch (an absolute path)\n"
         "  -h, --handler HANDLER   the program to run, with the file's path as its argument\n"
         "  -L, --log LOGFILE       the log, appended to and created if missing\n"
         "  -f, --foreground        stay in the foreground; log to standard error without -L\n"
         "  -j, --jobs N            run at most N handlers at once (1 to " +
         std::to_string(kMaxJobs) +
         "; default: no limit)\n"
         "  -V, --version           print the version and exit\n"
         "      --help              print this text and exit\n"
         "Signals: HUP reopens the log; TERM and INT stop the daemon.\n";
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
    if (!isTarget && !isHandler && !isLog && !isJobs)
      continue;
    if (i + 1 == args.size()) {
      noteFailure(isTarget    ? "No target specified!!"
                  : isHandler ? "No handler specified!!"
                  : isLog     ? "No log file specified!!"
                              : "No job limit specified!!");
      break;
    }
    const std::string& value = args[++i];
    if (isTarget) {
      line.target = value;
    } else if (isHandler) {
      line.handler = value;
    } else if (isLog) {
      openLog(value);
    } else if (!parseJobs(value, line.jobs)) {
      noteFailure("Invalid value for " + arg + ": '" + escapeForLog(value) +
                  "' (a number from 1 to " + std::to_string(kMaxJobs) + ")!!");
    }
  }
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
