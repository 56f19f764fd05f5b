// options.cpp: the option scan, the version banner and the log file.
#include "driver/options.h"

#include <utility>

namespace vellumd {

std::string versionBanner() {
  return std::string("vellumd : Ver.1.01(compiled :") + __DATE__ + " " + __TIME__ + ")\n";
}

LogFile::~LogFile() = default;

void LogFile::open(const std::string& path) {
  std::ofstream next(path, std::ios::out | std::ios::app);
  if (!next.is_open())
    return;
  stream_ = std::move(next);
  opened_ = true;
}

CommandLine scanCommandLine(const std::vector<std::string>& args,
                            const std::function<void(const std::string&)>& openLog) {
  CommandLine line;
  auto fail = [&line](const char* message) {
    line.action = CommandLine::Action::kFail;
    line.failure = message;
    return line;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-V" || arg == "--version") {
      line.action = CommandLine::Action::kPrintVersion;
      return line;
    }
    const bool isTarget = arg == "-t" || arg == "--target";
    const bool isHandler = arg == "-h" || arg == "--handler";
    const bool isLog = arg == "-L" || arg == "--log";
    if (!isTarget && !isHandler && !isLog)
      continue;
    if (i + 1 == args.size()) {
      return fail(isTarget    ? "No target specified!!"
                  : isHandler ? "No handler specified!!"
                              : "No log file specified!!");
    }
    const std::string& value = args[++i];
    if (isTarget) {
      line.target = value;
    } else if (isHandler) {
      line.handler = value;
    } else {
      openLog(value);
    }
  }
  if (line.target.empty())
    return fail("No target specified!!");
  if (line.handler.empty())
    return fail("No handler specified!!");
  return line;
}

}  // namespace vellumd
