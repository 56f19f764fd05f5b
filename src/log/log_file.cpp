// log_file.cpp: the log's descriptor and its unbuffered stream.
#include "log/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "log/log.h"

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

int openForAppending(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
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

LogFile::~LogFile() {
  if (owned_)
    ::close(fd_);
}

int LogFile::open(const std::string& path) {
  const int fd = openForAppending(path);
  if (fd < 0)
    return errno;
  path_ = absolutePath(path);
  adopt(fd, true);
  return 0;
}

int LogFile::reopen() {
  if (!owned_)
    return 0;
  const int fd = openForAppending(path_);
  if (fd < 0)
    return errno;
  adopt(fd, true);
  return 0;
}

void LogFile::useStandardError() {
  if (fd_ >= 0)
    return;
  adopt(STDERR_FILENO, false);
  markAsStandardError(stream_);
}

void LogFile::adopt(int fd, bool owned) {
  if (owned_)
    ::close(fd_);
  fd_ = fd;
  owned_ = owned;
  buffer_.setDescriptor(fd);
  stream_.clear();
}

}  // namespace vellumd
