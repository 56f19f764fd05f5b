// log.h: the daemon's only output once it has detached. writeLog appends one timestamped,
// flushed line per message; fatal reports an error on standard error and in the log, then exits.
// The log stream is owned by the entry function; everything else holds a plain pointer to it,
// null when no log file is open.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace vellumd {

// Appends "YYYY/MM/DD HH:MM:SS: message" and a flushing end-of-line; does nothing when log is
// null. The message is written unchanged. Not reentrant (the timestamp buffer is static).
void writeLog(const std::string& message, std::ostream* log);

// Writes "Error: message" to standard error and to the log, then exits with status.
[[noreturn]] void fatal(int status, const std::string& message, std::ostream* log);

// Makes a file name or path safe to embed in a log line: control bytes (below 0x20, and 0x7f)
// become \n, \t, \r or \xHH and a backslash becomes \\, so that no name can split or forge a line.
// Every other byte, UTF-8 included, is kept.
std::string escapeForLog(std::string_view text);

}  // namespace vellumd
