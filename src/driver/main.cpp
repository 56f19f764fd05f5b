// main.cpp: vellumd's entry point. Options, log, warnings, detach (or stay), then the event loop
// until a signal stops it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "driver/event_loop.h"
#include "driver/options.h"
#include "driver/service.h"
#include "log/log.h"
#include "log/log_file.h"
#include "watch/inotify_watch.h"

namespace {

// What the daemon will do that the operator probably did not mean, said while a terminal may
// still be listening. None of it stops the start.
std::vector<std::string> startWarnings(const vellumd::CommandLine& line) {
  using vellumd::escapeForLog;
  std::vector<std::string> warnings;
  // Once started the daemon works in "/": a relative path is taken from there.
  if (line.target.front() != '/')
    warnings.push_back("Target " + escapeForLog(line.target) +
                       " is relative - it is resolved against /");
  if (line.handler.front() != '/')
    warnings.push_back("Handler " + escapeForLog(line.handler) +
                       " is relative - it is resolved against /");
  if (!line.statePath.empty() && line.statePath.front() != '/')
    warnings.push_back("State file " + escapeForLog(line.statePath) +
                       " is relative - it is resolved against /");
  if (!line.metricsPath.empty() && line.metricsPath.front() != '/')
    warnings.push_back("Metrics file " + escapeForLog(line.metricsPath) +
                       " is relative - it is resolved against /");
  const std::string target = line.target.front() == '/' ? line.target : "/" + line.target;
  struct stat info;
  const int error = stat(target.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  if (error != 0) {
    warnings.push_back("Target " + escapeForLog(line.target) + " is not a directory (" +
                       strerror(error) + ") - nothing is watched");
  }
  return warnings;
}

}  // namespace

int main(int argc, char* argv[]) {
  using vellumd::CommandLine;
  vellumd::closeInheritedDescriptors();
  vellumd::LogFile logFile;
  std::vector<std::string> warnings;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine line = vellumd::scanCommandLine(args, [&](const std::string& path) {
    if (const int error = logFile.open(path)) {
      warnings.push_back("Can't open log file " + vellumd::escapeForLog(path) + " - " +
                         strerror(error));
    }
  });

  switch (line.action) {
    case CommandLine::Action::kPrintVersion:
      std::cout << vellumd::versionBanner() << std::flush;
      return 0;
    case CommandLine::Action::kPrintHelp:
      std::cout << vellumd::usageText() << std::flush;
      return 0;
    case CommandLine::Action::kFail:
      vellumd::fatal(1, line.failure, logFile.handle());
    case CommandLine::Action::kRun:
      break;
  }

  // Whoever can write the target's parent could point the target anywhere on the machine.
  struct stat targetLink;
  const std::string target = line.target.front() == '/' ? line.target : "/" + line.target;
  if (lstat(target.c_str(), &targetLink) == 0 && S_ISLNK(targetLink.st_mode) &&
      !vellumd::isTrustedOwner(targetLink.st_uid)) {
    vellumd::fatal(1,
                   "Target " + vellumd::escapeForLog(line.target) + " is a link owned by uid " +
                       std::to_string(targetLink.st_uid) + ", neither root nor this user!!",
                   logFile.handle());
  }

  for (const std::string& warning : startWarnings(line))
    warnings.push_back(warning);
  for (const std::string& warning : warnings)
    std::cerr << "Warning: " << warning << '\n';
  std::cerr << std::flush;

  vellumd::ReadyReport report;
  int detachError = 0;
  if (line.foreground) {
    // The process stays whoever started it wanted to hold; only its directory changes.
    detachError = chdir("/") == 0 ? 0 : errno;
    report.takeNotifySocket();
    logFile.useStandardError();
  } else {
    detachError = report.detach();
  }
  std::ostream* log = logFile.handle();
  if (detachError != 0) {
    vellumd::fatal(1, "Can't start as daemon - " + std::string(strerror(detachError)) + "!!", log,
                   [&report](const std::string& message) { report.failed(1, message); });
  }
  vellumd::writeLog("Start as daemon...", log);
  vellumd::LoopSettings settings{line.target, line.handler, line.jobs, line.statePath,
                                 {},          &logFile,     &report,   line.metricsPath};
  settings.dispatch.settle = std::chrono::milliseconds(line.settleMilliseconds);
  settings.dispatch.excludes = line.excludes;
  return vellumd::runEventLoop(settings);
}
