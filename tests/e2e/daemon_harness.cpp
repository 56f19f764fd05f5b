// daemon_harness.cpp: the end-to-end fixture: temporary trees, the real binary, polling waits.
#include "daemon_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace vellumd::e2e {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> readCmdline(pid_t pid) {
  std::string raw = readWhole("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> argv;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos)
      end = raw.size();
    argv.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return argv;
}

pid_t parentOf(pid_t pid) {
  std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos)
    return -1;
  std::istringstream rest(stat.substr(close + 2));
  char state;
  pid_t parent = -1;
  rest >> state >> parent;
  return parent;
}

// A zombie or a process that is gone counts as not alive.
bool processAlive(pid_t pid) {
  std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

int countDirectories(const std::string& top) {
  if (!fs::is_directory(top))
    return 0;
  int count = 1;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(top, error); !error && it != fs::end(it);
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error))
      ++count;
  }
  return count;
}

}  // namespace

std::string vellumdBinary() {
  return VELLUMD_BINARY;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

void putFile(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

void writeScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
}

OpenFile::OpenFile(const std::string& path, int flags)
    : fd_(open(path.c_str(), O_WRONLY | flags, 0644)) {
  EXPECT_GE(fd_, 0) << path << ": " << strerror(errno);
}

OpenFile::~OpenFile() {
  close();
}

void OpenFile::write(const std::string& data) {
  EXPECT_EQ(::write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

void OpenFile::close() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

int freeLocalPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

ProcessResult runProcess(const std::vector<std::string>& argv) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
    ADD_FAILURE() << "pipe: " << strerror(errno);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    // Only the three standard descriptors reach the program: the pipes are close-on-exec.
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ProcessResult result;
  // The launcher's standard descriptors are inherited by the detached daemon until it points
  // them at /dev/null; reading to end of file therefore also waits for that.
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int openPipes = 2;
  while (openPipes > 0) {
    int ready = poll(fds, 2, 10000);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      char buffer[4096];
      ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(count));
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0)
      close(fd.fd);
  }
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void DaemonTest::SetUp() {
  char pattern[] = "/tmp/vellumd-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
  root_ = pattern;
  // Readable by every user, so that tests may run the daemon with fewer privileges.
  chmod(root_.c_str(), 0755);
  ASSERT_EQ(mkdir(target().c_str(), 0755), 0);
  {
    std::ofstream script(handlerPath());
    script << "#!/bin/sh\nprintf '%s\\0' \"$1\" >> '" << recordPath() << "'\n";
  }
  chmod(handlerPath().c_str(), 0755);
}

void DaemonTest::TearDown() {
  stopDaemon();
  if (root_.empty())
    return;
  // Restore permissions a test may have taken away, so that everything can be removed.
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(
           root_, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::end(it); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error))
      chmod(it->path().c_str(), 0755);
  }
  chmod(root_.c_str(), 0755);
  // A handler of another process group (a test's own child) may still add a file: try again.
  waitUntil(
      [&] {
        return fs::remove_all(root_, error) != static_cast<std::uintmax_t>(-1) &&
               !fs::exists(root_);
      },
      2s);
}

ProcessResult DaemonTest::runVellumd(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {vellumdBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult result = runProcess(argv);
  pid_t found = findDaemonPid(argv);
  if (found > 0)
    pid_ = found;
  return result;
}

ProcessResult DaemonTest::launchDaemon(const std::vector<std::string>& prefix,
                                       const std::vector<std::string>& args) {
  std::vector<std::string> daemonArgv = {vellumdBinary()};
  daemonArgv.insert(daemonArgv.end(), args.begin(), args.end());
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), daemonArgv.begin(), daemonArgv.end());
  ProcessResult result = runProcess(argv);
  waitUntil([&] { return findDaemonPid(daemonArgv) > 0; }, 2s);
  pid_ = findDaemonPid(daemonArgv);
  return result;
}

pid_t DaemonTest::startDaemon(int expectedWatches, std::vector<std::string> args,
                              const std::vector<std::string>& prefix) {
  if (args.empty())
    args = {"-t", target(), "-h", handlerPath(), "-L", logPath()};
  if (expectedWatches < 0)
    expectedWatches = countDirectories(target());
  ProcessResult launched = launchDaemon(prefix, args);
  EXPECT_EQ(launched.status, 0) << launched.err;
  EXPECT_GT(pid_, 0) << "no detached vellumd process found";
  if (pid_ <= 0)
    return pid_;
  EXPECT_TRUE(waitForWatches(expectedWatches))
      << "expected " << expectedWatches << " watches, have " << watchCount();
  EXPECT_TRUE(waitForLog("Start as daemon..."));
  return pid_;
}

pid_t DaemonTest::startForeground(const std::vector<std::string>& args,
                                  const std::vector<std::string>& environment) {
  std::vector<std::string> words = {vellumdBinary(), "-f"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> settings = environment;
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    for (std::string& setting : settings)
      putenv(setting.data());
    const int in = open("/dev/null", O_RDONLY);
    const int err = open(foregroundStderrPath().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(in, 0);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  EXPECT_GT(child, 0) << strerror(errno);
  // Set here too, so that the group exists whichever process runs first.
  setpgid(child, child);
  pid_ = child;
  foreground_ = true;
  return child;
}

int DaemonTest::foregroundExitStatus(std::chrono::milliseconds timeout) {
  int status = 0;
  if (!foreground_ || !waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout))
    return -1;
  foreground_ = false;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t DaemonTest::findDaemonPid(const std::vector<std::string>& argv) const {
  std::vector<pid_t> matches;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    pid_t candidate = std::stoi(name);
    if (readCmdline(candidate) == argv && processAlive(candidate))
      matches.push_back(candidate);
  }
  // A handler's child carries the daemon's command line until its exec: take the one whose
  // parent is not itself a match.
  for (pid_t candidate : matches) {
    pid_t parent = parentOf(candidate);
    if (std::find(matches.begin(), matches.end(), parent) == matches.end())
      return candidate;
  }
  return -1;
}

bool DaemonTest::daemonAlive() const {
  return pid_ > 0 && processAlive(pid_);
}

int DaemonTest::watchCount() const {
  if (pid_ <= 0)
    return -1;
  const std::string fdDir = "/proc/" + std::to_string(pid_) + "/fd";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fdDir, error)) {
    std::error_code linkError;
    if (fs::read_symlink(entry.path(), linkError).string() != "anon_inode:inotify")
      continue;
    std::istringstream info(
        readWhole("/proc/" + std::to_string(pid_) + "/fdinfo/" + entry.path().filename().string()));
    int count = 0;
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("inotify wd:", 0) == 0)
        ++count;
    }
    return count;
  }
  return -1;
}

bool DaemonTest::daemonHasOpen(const std::string& path) const {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error)) {
    std::error_code linkError;
    if (fs::read_symlink(entry.path(), linkError).string() == path)
      return true;
  }
  return false;
}

bool DaemonTest::waitForWatches(int count, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return watchCount() == count; }, timeout);
}

bool DaemonTest::waitForExit(std::chrono::milliseconds timeout) {
  return waitUntil([&] { return !daemonAlive(); }, timeout);
}

char processState(pid_t pid) {
  const std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

std::vector<std::string> withFaults(const std::vector<std::string>& settings) {
  const char* sanitizerOptions = getenv("ASAN_OPTIONS");
  std::vector<std::string> prefix = {
      "env", std::string("LD_PRELOAD=") + VELLUMD_FAULTS_LIBRARY,
      "ASAN_OPTIONS=" + std::string(sanitizerOptions ? sanitizerOptions : "") +
          ":verify_asan_link_order=0"};
  prefix.insert(prefix.end(), settings.begin(), settings.end());
  return prefix;
}

void DaemonTest::pauseDaemon() {
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
  ASSERT_TRUE(waitUntil([&] { return processState(pid_) == 'T'; }));
}

void DaemonTest::resumeDaemon() {
  ASSERT_EQ(kill(pid_, SIGCONT), 0);
}

bool DaemonTest::waitForStopAt(const std::string& path, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return processState(pid_) == 'T' && daemonHasOpen(path); }, timeout);
}

void DaemonTest::stopDaemon() {
  if (pid_ <= 0)
    return;
  // A stopped daemon would not answer SIGTERM.
  kill(pid_, SIGCONT);
  // The daemon leads its own process group; each handler leads one of its own, ended once the
  // daemon is gone (a handler ended first would free its job for the next queued run), so that
  // none writes into a removed tree.
  std::istringstream children(
      readWhole("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children"));
  kill(-pid_, SIGTERM);
  if (!waitForExit(5s)) {
    kill(-pid_, SIGKILL);
    waitForExit(5s);
  }
  for (pid_t child; children >> child;)
    kill(-child, SIGKILL);
  if (foreground_)
    waitpid(pid_, nullptr, 0);
  foreground_ = false;
  pid_ = -1;
}

std::vector<std::string> DaemonTest::logMessages() const {
  static const std::regex stamp(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}: )");
  std::string text = readWhole(logPath());
  // A read that meets a write under way sees part of its last line: only whole lines count.
  text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  std::istringstream log(text);
  std::vector<std::string> messages;
  for (std::string line; std::getline(log, line);) {
    if (!std::regex_search(line, stamp)) {
      ADD_FAILURE() << "log line without timestamp: " << line;
      continue;
    }
    messages.push_back(line.substr(21));
  }
  return messages;
}

bool DaemonTest::logContains(const std::string& message) const {
  return logCount(message) > 0;
}

int DaemonTest::logCount(const std::string& message) const {
  auto messages = logMessages();
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

int DaemonTest::logCountUnfolded(const std::string& message) const {
  static const std::regex repeated(R"(^Last line repeated (\d+) times$)");
  int count = 0;
  std::string lastRecord;  // the last line a repeat count can refer to
  for (const std::string& line : logMessages()) {
    std::smatch match;
    if (std::regex_match(line, match, repeated)) {
      if (lastRecord == message)
        count += std::stoi(match[1]);
    } else if (line != "poll exit - 1") {
      lastRecord = line;
      count += line == message ? 1 : 0;
    }
  }
  return count;
}

bool DaemonTest::waitForLog(const std::string& message, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return logContains(message); }, timeout);
}

std::vector<std::string> DaemonTest::handled() const {
  std::string raw = readWhole(recordPath());
  std::vector<std::string> paths;
  size_t start = 0;
  for (size_t end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1) {
    paths.push_back(raw.substr(start, end - start));
  }
  return paths;
}

int DaemonTest::timesHandled(const std::string& path) const {
  auto paths = handled();
  return static_cast<int>(std::count(paths.begin(), paths.end(), path));
}

std::string DaemonTest::callLine(const std::string& path) const {
  return "Call handler " + handlerPath() + " with argument: " + path;
}

int DaemonTest::callCount() const {
  return static_cast<int>(occurrences(readWhole(logPath()), ": Call handler "));
}

void DaemonTest::settle() {
  const std::string marker = "settle-" + std::to_string(++settles_);
  writeFile(marker, "");
  ASSERT_TRUE(waitForLog(callLine(inTree(marker)))) << marker << " was never handled";
  ASSERT_TRUE(waitUntil([&] { return static_cast<int>(handled().size()) == callCount(); }))
      << handled().size() << " recorded, " << callCount() << " calls logged";
}

bool DaemonTest::waitForHandled(size_t count, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return handled().size() >= count; }, timeout);
}

bool DaemonTest::waitForHandledPath(const std::string& path, std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        auto paths = handled();
        return std::find(paths.begin(), paths.end(), path) != paths.end();
      },
      timeout);
}

void DaemonTest::makeDir(const std::string& relative) {
  std::error_code error;
  fs::create_directories(inTree(relative), error);
  ASSERT_FALSE(error) << relative << ": " << error.message();
}

void DaemonTest::writeFile(const std::string& relative, const std::string& content) {
  std::ofstream out(inTree(relative), std::ios::binary);
  ASSERT_TRUE(out.is_open()) << relative;
  out << content;
}

}  // namespace vellumd::e2e
