// state_file.cpp: reading and atomically replacing the daemon's state file.
//
// The format is text with length-prefixed paths, since a path may hold any byte but NUL:
//   vellumd state 1
//   horizon SECONDS NANOSECONDS
//   run SECONDS NANOSECONDS LENGTH      followed by the path's bytes and a newline
//   look LENGTH                         followed by the path's bytes and a newline
//   end
#include "watch/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vellumd {

namespace {
constexpr char kHeader[] = "vellumd state 1\n";

// Walks the file's text; every read fails softly, and the first failure stays.
class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool ok() const { return ok_; }
  bool atEnd() const { return at_ >= text_.size(); }
  // The next word, ended by a space or a newline, which is consumed.
  std::string word() {
    const size_t end = text_.find_first_of(" \n", at_);
    if (end == std::string::npos)
      return fail();
    std::string word = text_.substr(at_, end - at_);
    at_ = end + 1;
    return word;
  }
  long long number() {
    const std::string text = word();
    if (!ok_ || text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 18) {
      fail();
      return 0;
    }
    return std::stoll(text);
  }
  timespec time() {
    timespec time{};
    time.tv_sec = static_cast<time_t>(number());
    time.tv_nsec = static_cast<long>(number());
    if (time.tv_nsec >= 1'000'000'000)
      fail();
    return time;
  }
  // `length` bytes and the newline after them.
  std::string bytes(long long length) {
    if (!ok_ || length <= 0 || static_cast<size_t>(length) >= text_.size() - at_ ||
        text_[at_ + length] != '\n') {
      return fail();
    }
    std::string bytes = text_.substr(at_, length);
    at_ += length + 1;
    return bytes;
  }

 private:
  std::string fail() {
    ok_ = false;
    at_ = text_.size();
    return "";
  }

  const std::string& text_;  // not owned: outlives the reader
  size_t at_ = 0;
  bool ok_ = true;
};

std::string withError(const char* what) {
  return std::string(what) + " - " + strerror(errno);
}
}  // namespace

StateFile::StateFile(const std::string& path) : path_(path) {}

StateFile::~StateFile() = default;

std::optional<TreeState> StateFile::load(std::string& error) const {
  struct stat info;
  if (stat(path_.c_str(), &info) != 0 && errno == ENOENT)
    return std::nullopt;
  std::ifstream in(path_, std::ios::binary);
  if (!in.is_open()) {
    error = withError("cannot be read");
    return std::nullopt;
  }
  std::ostringstream whole;
  whole << in.rdbuf();
  const std::string text = whole.str();
  if (text.rfind(kHeader, 0) != 0) {
    error = "is not a state file";
    return std::nullopt;
  }
  const std::string body = text.substr(sizeof kHeader - 1);
  Reader reader(body);
  TreeState state;
  if (reader.word() != "horizon") {
    error = "is not a state file";
    return std::nullopt;
  }
  state.horizon = reader.time();
  bool ended = false;
  while (reader.ok() && !reader.atEnd() && !ended) {
    const std::string kind = reader.word();
    if (kind == "run") {
      const timespec changed = reader.time();
      std::string path = reader.bytes(reader.number());
      state.runs.push_back({std::move(path), changed});
    } else if (kind == "look") {
      state.toLook.push_back(reader.bytes(reader.number()));
    } else {
      ended = kind == "end";
      if (!ended)
        break;
    }
  }
  if (!reader.ok() || !ended) {
    error = "is damaged or cut short";
    return std::nullopt;
  }
  return state;
}

bool StateFile::save(const TreeState& state, std::string& error) const {
  std::string text = kHeader;
  auto time = [](const timespec& time) {
    return std::to_string(time.tv_sec) + " " + std::to_string(time.tv_nsec);
  };
  text += "horizon " + time(state.horizon) + "\n";
  for (const TreeState::Run& run : state.runs) {
    text += "run " + time(run.changed) + " " + std::to_string(run.path.size()) + "\n";
    text.append(run.path).push_back('\n');
  }
  for (const std::string& path : state.toLook) {
    text += "look " + std::to_string(path.size()) + "\n";
    text.append(path).push_back('\n');
  }
  text += "end\n";

  const std::string temporary = path_ + ".new";
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = withError("cannot be written");
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0) {
      error = withError("cannot be written");
      close(fd);
      unlink(temporary.c_str());
      return false;
    }
    written += static_cast<size_t>(count);
  }
  // On disk before it takes the old file's place: a crash must leave one whole state or the other.
  if (fsync(fd) != 0 || close(fd) != 0) {
    error = withError("cannot be written");
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path_.c_str()) != 0) {
    error = withError("cannot be replaced");
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace vellumd
