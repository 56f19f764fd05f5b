// options.h: the command line, and the log file it may name.
//
// The scan is kept apart from detaching so that it can be driven on its own: it reports what the
// entry function must do instead of printing or exiting itself.
#pragma once

#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vellumd {

// "vellumd : Ver.1.01(compiled :" build date and time ")": fixed when the program is built.
std::string versionBanner();

// The log file, owned by the entry function for the life of the process.
class LogFile {
 public:
  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  virtual ~LogFile();

  // Opens `path` for appending (created if missing). A file that opens replaces the current log,
  // which is closed; one that does not leaves the current log in use. Reports nothing.
  void open(const std::string& path);

  // The log handle: null while no log file has been opened.
  std::ostream* handle() { return opened_ ? &stream_ : nullptr; }

 private:
  std::ofstream stream_;  // the address handed out stays valid when the file is replaced
  bool opened_ = false;   // a file has been opened at least once
};

// What the command line asks for, as scanCommandLine() found it; kept by the entry function.
struct CommandLine {
  enum class Action {
    kRun,           // detach and watch `target`, running `handler`
    kPrintVersion,  // print the banner and exit 0
    kFail,          // report `failure` and exit 1
  };
  Action action = Action::kRun;
  std::string target;   // verbatim; a later option replaces an earlier one
  std::string handler;  // verbatim, passed to execv()
  std::string failure;  // the start-up error message for kFail
};

// Scans the arguments after the program name, in order. Each log option's value is passed to
// `openLog` at once, so that a later error can be logged to it. Values are taken verbatim, even
// when they begin with "-"; unknown arguments are skipped.
CommandLine scanCommandLine(const std::vector<std::string>& args,
                            const std::function<void(const std::string&)>& openLog);

}  // namespace vellumd
