// log_file.cpp: the log's descriptor and its unbuffered stream.
#include "log/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "log/log.h"
#include "log/own_file.h"

namespace vellumd {

namespace {
// The path as the process sees it now, kept valid after a change of working directory.
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/')
    return path;
  char directory[PATH_MAX];
  if (getcwd(directory, sizeof directory) == nullptr)
    return path;
  return std::string(directory) + "/" + path;
}

int openForAppending(const std::string& path, std::string& why) {
  return openOwnFile(AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT, 0666, false, why);
}
}  // namespace

DescriptorBuffer::~DescriptorBuffer() = default;

std::streamsize DescriptorBuffer::xsputn(const char* data, std::streamsize count) {
  if (fd_ < 0)
    return 0;
  if (cut_) {
    if (::write(fd_, "\n", 1) != 1)
      return 0;
    cut_ = false;
  }
  std::streamsize written = 0;
  while (written < count) {
    const ssize_t result = ::write(fd_, data + written, static_cast<size_t>(count - written));
    if (result < 0 && errno == EINTR)
      continue;
    if (result <= 0)
      break;
    written += result;
  }
  cut_ = written > 0 && written < count && data[written - 1] != '\n';
  return written;
}

DescriptorBuffer::int_type DescriptorBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof()))
    return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

LogFile::LogFile() : stream_(&buffer_) {}

LogFile::~LogFile() = default;

std::string LogFile::open(const std::string& path) {
  std::string why;
  const int fd = openForAppending(path, why);
  if (fd < 0)
    return why;
  path_ = absolutePath(path);
  adopt(fd, true);
  return "";
}

std::string LogFile::reopen() {
  if (file_.get() < 0)
    return "";
  std::string why;
  const int fd = openForAppending(path_, why);
  if (fd < 0)
    return why;
  adopt(fd, true);
  return "";
}

void LogFile::useStandardError() {
  if (fd_ >= 0)
    return;
  adopt(STDERR_FILENO, false);
  markAsStandardError(stream_);
}

void LogFile::adopt(int fd, bool owned) {
  // The file opened before, if any, is closed here.
  file_ = owned ? Descriptor(fd) : Descriptor();
  fd_ = fd;
  buffer_.setDescriptor(fd);
  stream_.clear();
}

}  // namespace vellumd
