// main.cpp: vellumd's entry point. Options, log, warnings, detach (or stay), then the event loop
// until a signal stops it.
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "driver/event_loop.h"
#include "driver/options.h"
#include "driver/service.h"
#include "log/log.h"
#include "log/log_file.h"
#include "log/own_file.h"
#include "watch/inotify_watch.h"
#include "watch/state_file.h"

namespace {

// The kind of file system `path` is on when inotify there sees only what this machine writes
// through the mount: a network or FUSE file system, whose files change on another machine or in a
// backing store without a record. Empty for any other, or when it cannot be told.
std::string remoteFileSystemType(const std::string& path) {
  struct statfs info;
  if (statfs(path.c_str(), &info) != 0)
    return "";
  // f_type's magic numbers, as the kernel's magic.h and each file system's own headers give them.
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0x6969:
      return "NFS";
    case 0x517B:
      return "SMB";
    case 0xFF534D42:
      return "CIFS";
    case 0xFE534D42:
      return "SMB2";
    case 0x65735546:
      return "FUSE";
    case 0x01021997:
      return "9P";
    case 0x00C36400:
      return "Ceph";
    case 0x6B414653:
    case 0x5346414F:
      return "AFS";
    case 0x73757245:
      return "Coda";
    case 0x564C:
      return "NCP";
    case 0x0BD00BD0:
      return "Lustre";
    case 0x47504653:
      return "GPFS";
    case 0x01161970:
      return "GFS2";
    case 0x7461636F:
      return "OCFS2";
    default:
      return "";
  }
}

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
  // Whoever can write there can take the metrics file's name for a file of theirs, which the
  // daemon then refuses to replace, or feed the collector figures of their own.
  if (!line.metricsPath.empty() && vellumd::inDirectoryOthersCanWrite(line.metricsPath))
    warnings.push_back("Metrics file " + escapeForLog(line.metricsPath) +
                       " is in a directory others can write");
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
                       strerror(error) + ") - waiting for it");
  } else if (const std::string type = line.pollMilliseconds > 0 ? "" : remoteFileSystemType(target);
             !type.empty()) {
    warnings.push_back(escapeForLog(line.target) + " is on a " + type +
                       " file system: changes made by other machines are not reported; use --poll");
  }
  return warnings;
}

// Whoever can write the target's parent could point the target anywhere on the machine: a target
// that is a link of another user ends the start.
void refuseUnsafeTarget(const vellumd::CommandLine& line, std::ostream* log) {
  struct stat targetLink;
  const std::string target = line.target.front() == '/' ? line.target : "/" + line.target;
  if (lstat(target.c_str(), &targetLink) == 0 && S_ISLNK(targetLink.st_mode) &&
      !vellumd::isTrustedOwner(targetLink.st_uid)) {
    vellumd::fatal(1,
                   "Target " + vellumd::escapeForLog(line.target) + " is a link owned by uid " +
                       std::to_string(targetLink.st_uid) + ", neither root nor this user!!",
                   log);
  }
}

// The state file is kept where no other user can replace it or its temporary copy, and out of
// the tree, whose handler would be handed it at every save; or the daemon does not start.
void openStateFile(const vellumd::CommandLine& line, std::ostream* log,
                   std::optional<vellumd::StateFile>& stateFile) {
  if (line.statePath.empty())
    return;
  stateFile.emplace(line.statePath, line.target);
  if (!stateFile->refusal().empty()) {
    vellumd::fatal(1,
                   "State file " + vellumd::escapeForLog(line.statePath) + " " +
                       stateFile->refusal() + " - refusing it!!",
                   log);
  }
}

// What the state file saved, read before the daemon detaches so that a problem with it is said
// with the other warnings. A file whose directory cannot be opened is given up.
std::optional<vellumd::TreeState> loadState(std::optional<vellumd::StateFile>& stateFile,
                                            std::vector<std::string>& warnings) {
  if (!stateFile)
    return std::nullopt;
  const std::string name = "State file " + vellumd::escapeForLog(stateFile->path());
  if (const int error = stateFile->directoryError()) {
    warnings.push_back(name + " cannot be written - " + strerror(error) + " - going on without it");
    stateFile.reset();
    return std::nullopt;
  }
  std::string error;
  std::optional<vellumd::TreeState> saved = stateFile->load(error);
  if (!error.empty())
    warnings.push_back(name + " " + error + " - nothing caught up");
  return saved;
}

// Detaches, or with -f stays the process that was started; returns the log handle from then on.
// A failure ends the start.
std::ostream* detachOrStay(const vellumd::CommandLine& line, vellumd::LogFile& logFile,
                           vellumd::ReadyReport& report) {
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
  return log;
}

}  // namespace

int main(int argc, char* argv[]) {
  using vellumd::CommandLine;
  vellumd::closeInheritedDescriptors();
  vellumd::LogFile logFile;
  std::vector<std::string> warnings;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine line = vellumd::scanCommandLine(args, [&](const std::string& path) {
    // Whoever can write there can replace the log by a file of theirs, read what it tells, or
    // take the name while a rotation has it renamed.
    if (vellumd::inDirectoryOthersCanWrite(path)) {
      warnings.push_back("Log file " + vellumd::escapeForLog(path) +
                         " is in a directory others can write");
    }
    if (const std::string why = logFile.open(path); !why.empty())
      warnings.push_back("Can't open log file " + vellumd::escapeForLog(path) + " - " + why);
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

  for (const std::string& arg : line.unknownOptions)
    warnings.push_back("Unknown option " + vellumd::escapeForLog(arg) + " - skipped");
  refuseUnsafeTarget(line, logFile.handle());
  std::optional<vellumd::StateFile> stateFile;
  openStateFile(line, logFile.handle(), stateFile);
  std::optional<vellumd::TreeState> savedState = loadState(stateFile, warnings);
  for (const std::string& warning : startWarnings(line))
    warnings.push_back(warning);
  // Said while a terminal may still be listening, and kept in the log, which is what an operator
  // reads later (unless the log is that terminal).
  for (const std::string& warning : warnings) {
    std::cerr << "Warning: " << warning << '\n';
    vellumd::writeLog("Warning: " + warning, logFile.handle());
  }
  std::cerr << std::flush;

  vellumd::ReadyReport report;
  std::ostream* log = detachOrStay(line, logFile, report);
  vellumd::writeLog("Start as daemon...", log);
  vellumd::LoopSettings settings;
  settings.target = line.target;
  settings.handler = line.handler;
  settings.jobs = line.jobs;
  settings.runPolicy.timeout = std::chrono::seconds(line.timeoutSeconds);
  settings.runPolicy.retries = static_cast<unsigned>(line.retries);
  settings.runPolicy.retryDelay = std::chrono::milliseconds(line.retryDelayMilliseconds);
  settings.runPolicy.errorLines = static_cast<unsigned>(line.errorLines);
  settings.logFile = &logFile;
  settings.report = &report;
  if (stateFile)
    settings.stateFile = &*stateFile;
  settings.savedState = std::move(savedState);
  settings.metricsPath = line.metricsPath;
  settings.dispatch.settle = std::chrono::milliseconds(line.settleMilliseconds);
  settings.dispatch.excludes = line.excludes;
  settings.poll = std::chrono::milliseconds(line.pollMilliseconds);
  return vellumd::runEventLoop(settings);
}
