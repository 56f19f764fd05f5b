// options.h: the command line, and the usage text.
//
// The scan is kept apart from detaching so that it can be driven on its own: it reports what the
// entry function must do instead of printing or exiting itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "log/log_file.h"

namespace vellumd {

// "vellumd : Ver.1.01(compiled :" build date and time ")": fixed when the program is built.
std::string versionBanner();

// The text --help prints: synopsis and one line per option.
std::string usageText();

// The largest value -j accepts.
inline constexpr size_t kMaxJobs = 1000000;
// The largest value -s accepts: an hour, in milliseconds.
inline constexpr long kMaxSettleMilliseconds = 3600000;
// The range of -p: a tenth of a second to a day, in milliseconds.
inline constexpr long kMinPollMilliseconds = 100;
inline constexpr long kMaxPollMilliseconds = 86400000;

// The ranges of -T (seconds), -r, --retry-delay (milliseconds) and -E.
inline constexpr long kMaxTimeoutSeconds = 86400;
inline constexpr long kMaxRetries = 100;
inline constexpr long kMaxRetryDelayMilliseconds = 3600000;
inline constexpr long kMaxErrorLines = 100;

// What the command line asks for, as scanCommandLine() found it; kept by the entry function.
struct CommandLine {
  enum class Action {
    kRun,           // watch `target`, running `handler`
    kPrintVersion,  // print the banner and exit 0
    kPrintHelp,     // print the usage text and exit 0
    kFail,          // report `failure` and exit 1
  };
  Action action = Action::kRun;
  std::string target;           // as tidyTarget() spells it; a later option replaces an earlier one
  std::string handler;          // verbatim, passed to execv()
  bool foreground = false;      // -f: stay the process that was started
  size_t jobs = 0;              // -j: most handlers running at once; 0: no limit
  std::string statePath;        // -S: where to keep how far the tree was handled; empty: nowhere
  long settleMilliseconds = 0;  // -s: how long a name must be quiet before its run
  std::vector<std::string> excludes;  // -x, each adds: patterns of names never handed over
  // Arguments that begin with "-" and are no option (a typo, "--jobs=4"): skipped, and warned of.
  std::vector<std::string> unknownOptions;
  std::string metricsPath;             // -m: the Prometheus text file kept up to date; empty: none
  long timeoutSeconds = 0;             // -T: a run lasting longer is stopped; 0: no limit
  long retries = 0;                    // -r: further tries of a failed run
  long retryDelayMilliseconds = 1000;  // --retry-delay: before the first retry
  long errorLines = 0;                 // -E: lines of a failed run's standard error logged
  // -p: read the tree this often instead of watching it; 0: watch it with inotify.
  long pollMilliseconds = 0;
  std::string failure;  // the start-up error message for kFail
};

// The target as one spelling of its directory: empty and "." components and trailing slashes
// dropped ("/x/", "/x//" and "/x/." are "/x"), so that every path built from it, in the log, for
// the handler and in the state file, is the same whatever way it was typed. ".." is kept: only
// the file system knows where it leads.
std::string tidyTarget(const std::string& path);

// Scans the arguments after the program name, in order. Each log option's value is passed to
// `openLog` at once, so that a later error can be logged to it. Values are taken verbatim, even
// when they begin with "-"; unknown arguments are skipped, and those that begin with "-" noted. -V
// or --help ends the scan; otherwise the first error found is the one reported.
CommandLine scanCommandLine(const std::vector<std::string>& args,
                            const std::function<void(const std::string&)>& openLog);

}  // namespace vellumd
