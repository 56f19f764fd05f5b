// state_file.cpp: reading and atomically replacing the daemon's state file.
//
// The format is text with length-prefixed paths, since a path may hold any byte but NUL:
//   vellumd state 1
//   horizon SECONDS NANOSECONDS
//   run SECONDS NANOSECONDS LENGTH      followed by the path's bytes and a newline
//   look LENGTH                         followed by the path's bytes and a newline
//   retry TRIES_LEFT SECONDS NANOSECONDS LENGTH   followed by the path's bytes and a newline
//   end
// A file without retry lines is read by every daemon that knows the header.
#include "watch/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "log/own_file.h"

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

// Whether `path` names something strictly below `tree`: the tree's own path, then names none of
// which is empty, "." or "..". Such a path cannot lead out of the tree, nor be the tree itself.
bool liesInside(const std::string& path, const std::string& tree) {
  if (tree.empty() || path.compare(0, tree.size(), tree) != 0)
    return false;
  size_t at = tree.size();
  if (tree.back() != '/' && path[at++] != '/')
    return false;
  for (;;) {
    if (at >= path.size())
      return false;
    size_t end = path.find('/', at);
    if (end == std::string::npos)
      end = path.size();
    const std::string_view name(path.data() + at, end - at);
    if (name.empty() || name == "." || name == "..")
      return false;
    if (end == path.size())
      return true;
    at = end + 1;
  }
}

bool sameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether the directory open on `directory` is the tree's or one below it, told by device and
// inode numbers on the way up to "/": no link or rename can make the answer differ from the
// kernel's own parent chain.
bool isWithinTree(int directory, const std::string& tree) {
  struct stat top;
  if (stat(tree.c_str(), &top) != 0)
    return false;  // nothing is watched
  Descriptor here(openat(directory, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info;
  if (here.get() < 0 || fstat(here.get(), &info) != 0)
    return false;
  for (;;) {
    if (sameFile(info, top))
      return true;
    Descriptor parent(openat(here.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat parentInfo;
    // "/" (or the process's root) is its own parent.
    if (parent.get() < 0 || fstat(parent.get(), &parentInfo) != 0 || sameFile(parentInfo, info))
      return false;
    here = std::move(parent);
    info = parentInfo;
  }
}

// The whole of the file open on `fd`, or an error when it holds more than `limit` bytes. The
// limit is applied to what is read, not to the size first seen: the file may grow meanwhile.
bool readAll(int fd, off_t limit, std::string& text, std::string& error) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0) {
      error = withError("cannot be read");
      return false;
    }
    if (count == 0)
      return true;
    if (static_cast<off_t>(text.size()) + count > limit) {
      error = "is larger than " + std::to_string(limit / (1024 * 1024)) + " MiB";
      return false;
    }
    text.append(buffer, static_cast<size_t>(count));
  }
}
}  // namespace

StateFile::StateFile(const std::string& path, const std::string& tree) : path_(path), tree_(tree) {
  const std::string absolute = path.front() == '/' ? path : "/" + path;
  const size_t slash = absolute.rfind('/');
  name_ = absolute.substr(slash + 1);
  if (name_.empty() || name_ == "." || name_ == "..") {
    refusal_ = "does not name a file";
    return;
  }
  const std::string directory = slash == 0 ? "/" : absolute.substr(0, slash);
  directory_ = Descriptor(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (directory_.get() < 0) {
    directoryError_ = errno;
    return;
  }
  struct stat info;
  if (fstat(directory_.get(), &info) != 0 || othersCanWrite(info))
    refusal_ = "is in a directory others can write";
  else if (isWithinTree(directory_.get(), tree.front() == '/' ? tree : "/" + tree))
    refusal_ = "is in the watched tree";
}

StateFile::~StateFile() = default;

std::optional<TreeState> StateFile::load(std::string& error) const {
  struct stat info;
  if (directory_.get() < 0 ||
      fstatat(directory_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    const int cause = directory_.get() < 0 ? directoryError_ : errno;
    if (cause != ENOENT)
      error = "cannot be read - " + std::string(strerror(cause));
    return std::nullopt;
  }
  std::string why;
  const Descriptor file(openOwnFile(directory_.get(), name_, O_RDONLY, 0, true, why));
  if (file.get() < 0) {
    error = "cannot be read - " + why;
    return std::nullopt;
  }
  std::string text;
  if (!readAll(file.get(), kMaxBytes, text, error))
    return std::nullopt;
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
    } else if (kind == "retry") {
      const long long triesLeft = reader.number();
      const timespec due = reader.time();
      std::string path = reader.bytes(reader.number());
      if (triesLeft < 1 || triesLeft > 1000)
        break;
      state.retries.push_back({std::move(path), static_cast<unsigned>(triesLeft), due});
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
  // Every path this daemon saves lies in its tree. One that does not (the tree's parent, through
  // "..") comes from another tree's state or from a file changed by hand, and the horizon beside
  // it is no more to be trusted: the whole file is set aside, as a damaged one is.
  const auto outside = [this](const std::string& path) { return !liesInside(path, tree_); };
  if (std::any_of(state.runs.begin(), state.runs.end(),
                  [&outside](const TreeState::Run& run) { return outside(run.path); }) ||
      std::any_of(state.toLook.begin(), state.toLook.end(), outside) ||
      std::any_of(state.retries.begin(), state.retries.end(),
                  [&outside](const TreeState::Retry& retry) { return outside(retry.path); })) {
    error = "names a path outside the tree";
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
  for (const TreeState::Retry& retry : state.retries) {
    text += "retry " + std::to_string(retry.triesLeft) + " " + time(retry.due) + " " +
            std::to_string(retry.path.size()) + "\n";
    text.append(retry.path).push_back('\n');
  }
  text += "end\n";

  if (directory_.get() < 0) {
    errno = directoryError_;
    error = withError("cannot be written");
    return false;
  }
  const std::string temporary = name_ + ".new";
  const int dir = directory_.get();
  // Created here and now, never opened as found: a name left by an earlier save that a crash cut
  // short is removed (unlinking follows no link) and the creation tried once more.
  const auto create = [&] {
    return openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
  };
  Descriptor file(create());
  if (file.get() < 0 && errno == EEXIST && unlinkat(dir, temporary.c_str(), 0) == 0)
    file = Descriptor(create());
  if (file.get() < 0) {
    error = withError("cannot be written");
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(file.get(), text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0) {
      error = withError("cannot be written");
      unlinkat(dir, temporary.c_str(), 0);
      return false;
    }
    written += static_cast<size_t>(count);
  }
  // On disk before it takes the old file's place: a crash must leave one whole state or the other.
  if (fsync(file.get()) != 0 || close(file.release()) != 0) {
    error = withError("cannot be written");
    unlinkat(dir, temporary.c_str(), 0);
    return false;
  }
  if (renameat(dir, temporary.c_str(), dir, name_.c_str()) != 0) {
    error = withError("cannot be replaced");
    unlinkat(dir, temporary.c_str(), 0);
    return false;
  }
  return true;
}

}  // namespace vellumd
