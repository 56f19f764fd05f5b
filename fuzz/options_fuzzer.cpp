// options_fuzzer.cpp: arbitrary argument vectors (NUL-separated) through the option scan.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty())
    args.push_back(current);
  std::vector<std::string> logs;
  const vellumd::CommandLine line =
      vellumd::scanCommandLine(args, [&logs](const std::string& path) { logs.push_back(path); });
  // Whatever the arguments, a run has both strings and a failure has a message.
  if (line.action == vellumd::CommandLine::Action::kRun &&
      (line.target.empty() || line.handler.empty())) {
    __builtin_trap();
  }
  if (line.action == vellumd::CommandLine::Action::kFail && line.failure.empty()) {
    __builtin_trap();
  }
  // A job limit that was taken is one the queue can honour.
  if (line.action == vellumd::CommandLine::Action::kRun && line.jobs > vellumd::kMaxJobs) {
    __builtin_trap();
  }
  return 0;
}
