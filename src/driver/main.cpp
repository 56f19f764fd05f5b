// main.cpp: vellumd's entry point. Options, log, detach, then the event loop for good.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "driver/event_loop.h"
#include "driver/options.h"
#include "log/log.h"

int main(int argc, char* argv[]) {
  using vellumd::CommandLine;
  vellumd::LogFile logFile;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine line =
      vellumd::scanCommandLine(args, [&logFile](const std::string& path) { logFile.open(path); });
  std::ostream* log = logFile.handle();

  switch (line.action) {
    case CommandLine::Action::kPrintVersion:
      std::cout << vellumd::versionBanner() << std::flush;
      return 0;
    case CommandLine::Action::kFail:
      vellumd::fatal(1, line.failure, log);
    case CommandLine::Action::kRun:
      break;
  }

  // Handlers are never waited for: with SIGCHLD ignored the kernel reaps them as they end.
  signal(SIGCHLD, SIG_IGN);
  int detached = daemon(0, 0);
  if (detached != 0) {
    vellumd::fatal(1, "Can't start as daemon - " + std::to_string(detached) + "!!", log);
  }
  vellumd::writeLog("Start as daemon...", log);
  vellumd::runEventLoop(line.target, line.handler, log);
}
