// log_file.h: the log file and the stream the rest of the daemon writes it through.
//
// LogFile owns the log's descriptor (a regular file opened for appending through no link,
// close-on-exec, so that handlers do not inherit it) and an unbuffered stream over it: each line
// leaves in one write() of its own, and a write that fails (a full file system) leaves nothing
// behind to be written twice later. The entry function owns the one LogFile for the life of the
// process; the event loop reopens it on SIGHUP.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "base/descriptor.h"

namespace vellumd {

// An unbuffered output buffer that hands every sputn() to write(2) on a descriptor it does not
// own. A write cut short leaves a partial line: the next write then starts on a line of its own.
class DescriptorBuffer : public std::streambuf {
 public:
  DescriptorBuffer() = default;
  DescriptorBuffer(const DescriptorBuffer&) = delete;
  DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;
  ~DescriptorBuffer() override;

  void setDescriptor(int fd) { fd_ = fd; }
  int descriptor() const { return fd_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int_type overflow(int_type c) override;

 private:
  int fd_ = -1;       // not owned; -1: every write fails
  bool cut_ = false;  // the last write stopped inside a line
};

class LogFile {
 public:
  LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  virtual ~LogFile();  // closes the descriptor it opened

  // Opens `path` for appending (created if missing). Only a regular file is taken, and a link
  // in the last component is not followed: whoever can write the log's directory could otherwise
  // point the daemon's appends at any file, or block it on a FIFO. A file that opens replaces the
  // current log, which is closed; one that does not leaves the current log in use and returns
  // why, worded like strerror() (see openOwnFile). Returns "" on success. A relative path is
  // remembered against the working directory of now, so that a reopen after the change to "/"
  // finds the same file.
  std::string open(const std::string& path);

  // Opens the remembered path again, as open() does, for a log renamed by a rotation. On failure
  // the current log stays in use and the reason is returned; "" on success, and when the log is
  // standard error or no file was ever opened (nothing to do).
  std::string reopen();

  // Logs to standard error (the descriptor is not owned), unless a file is open already.
  void useStandardError();

  // The log handle: null while no log has been opened.
  std::ostream* handle() { return fd_ >= 0 ? &stream_ : nullptr; }
  // The path of the open file, absolute; empty for standard error or no log.
  const std::string& path() const { return path_; }

 private:
  void adopt(int fd, bool owned);

  int fd_ = -1;       // the log in use: file_'s, or standard error; -1 while no log is open
  Descriptor file_;   // the log file opened here; none for standard error
  std::string path_;  // what open() was given, made absolute
  DescriptorBuffer buffer_;
  std::ostream stream_;  // over buffer_; its address stays valid when the file is replaced
};

}  // namespace vellumd
