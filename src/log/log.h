// log.h: the daemon's only output once it has detached. writeLog appends one timestamped,
// flushed line per message; fatal reports an error on standard error and in the log, then exits.
// The log stream is owned by the entry function (see log_file.h); everything else holds a plain
// pointer to it, null when no log file is open.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace vellumd {

// Appends "YYYY/MM/DD HH:MM:SS: message" and a flushing end-of-line; does nothing when log is
// null. The message is written unchanged. A line that cannot be written (a full file system) is
// counted, and the stream is tried again at the next line, which is then preceded by
// "Log write failed - N lines lost". A LogFold attached to the stream writes what it holds first.
// Not reentrant (the timestamp buffer is static).
void writeLog(const std::string& message, std::ostream* log);

// Holds the lines written to one log stream while it lives and writes them in one write(), in
// order, each line whole: the event loop logs a record and its decisions per record, and one
// system call per line costs more than the rest of a record's work when the log is on a disk.
// Lines are also written whenever the held text grows past kMaxHeld, and by fatal() before it
// exits. A failed write counts all its lines as lost, as single lines are. Batches do not nest:
// one made while another holds the stream holds nothing. Single-threaded.
class LogBatch {
 public:
  static constexpr size_t kMaxHeld = 64 * 1024;

  // `log` may be null: nothing is then held.
  explicit LogBatch(std::ostream* log);
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
  ~LogBatch();  // writes what it holds and detaches

  // Appends one stamped line (and a "Log write failed" line before it when lines were lost).
  void hold(const std::string& line);
  // Writes what is held, in one write().
  void write();

 private:
  std::ostream* log_;  // null when another batch holds the stream, or there is no log
  std::string held_;
  long heldLines_ = 0;
};

// Writes "Error: message" to standard error and to the log, once when the log is standard error
// itself; tells `beforeExit` (when set) the "Error: message" line; then exits with status.
[[noreturn]] void fatal(int status, const std::string& message, std::ostream* log,
                        const std::function<void(const std::string& line)>& beforeExit = {});

// Makes a file name or path safe to embed in a log line: control bytes (below 0x20, and 0x7f)
// become \n, \t, \r or \xHH and a backslash becomes \\, so that no name can split or forge a line.
// Valid UTF-8 is kept, except the characters that readers honouring Unicode may take for a line
// break or a terminal control (the C1 controls U+0080 to U+009F, U+2028, U+2029): each of their
// bytes becomes \xHH, as does every byte that is not part of valid UTF-8.
std::string escapeForLog(std::string_view text);

// Marks `log` as writing to standard error, so that fatal() does not print its line twice.
void markAsStandardError(std::ostream& log);

namespace detail {
// The per-stream slots the log keeps in std::ios_base storage: the lines lost since the last
// successful write (iword), the attached LogFold and LogBatch (pword), and the standard-error
// mark (iword).
int lostLinesSlot();
int foldSlot();
int batchSlot();
int standardErrorSlot();
// Writes one timestamped line and keeps the lost-line count, without asking an attached fold.
void writeLine(const std::string& message, std::ostream& log);
}  // namespace detail

}  // namespace vellumd
