// status_test.cpp: the status line on SIGUSR1, and the metrics file as promtool and node_exporter
// read it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

// The value of the sample `name` in a text of the Prometheus format; NaN when it has none.
double sample(const std::string& text, const std::string& name) {
  const size_t at = text.find("\n" + name + " ");
  return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + name.size() + 2, nullptr);
}

class StatusTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    ASSERT_EQ(mkdir(metricsDirectory().c_str(), 0755), 0);
  }
  std::string metricsDirectory() const { return root() + "/metrics"; }
  std::string metricsPath() const { return metricsDirectory() + "/vellumd.prom"; }
  pid_t startWithMetrics(const std::string& jobs = "1000") {
    return startDaemon(
        1, {"-t", target(), "-h", handlerPath(), "-L", logPath(), "-j", jobs, "-m", metricsPath()});
  }
  // Waits until the metrics file holds these samples, and promtool finds no fault in it.
  bool waitForMetrics(const std::vector<std::pair<std::string, double>>& wanted) {
    return waitUntil([&] {
      const std::string text = readWhole(metricsPath());
      for (const auto& [name, value] : wanted) {
        if (sample(text, name) != value && !(value < 0 && sample(text, name) > 0))
          return false;
      }
      return runProcess({"sh", "-c", "promtool check metrics < " + metricsPath()}).status == 0;
    });
  }
};

// Each run waits for a release; the run for "bad" then fails.
TEST_F(StatusTest, DuringABurstWithTwoJobsTheLineAndTheFileShowTwoRunningAndTheRestQueued) {
  const std::string release = root() + "/release";
  writeScript(handlerPath(), "touch " + root() + "/started.$$\nwhile [ ! -e " + release +
                                 " ]; do sleep 0.02; done\nprintf '%s\\0' \"$1\" >> " +
                                 recordPath() + "\n[ \"${1##*/}\" != bad ]\n");
  // A temporary left by an earlier daemon is its own; a narrow umask must not hide the file.
  putFile(metricsPath() + ".tmp", "half written");
  const mode_t umaskWas = umask(077);
  const pid_t daemon = startWithMetrics("2");
  umask(umaskWas);
  EXPECT_TRUE(waitForMetrics({{"vellumd_watched_directories", 1}, {"vellumd_records_total", 0}}));
  struct stat info;
  EXPECT_TRUE(stat(metricsPath().c_str(), &info) == 0 && (info.st_mode & 0777) == 0644);

  for (const char* name : {"bad", "b", "c", "d", "e", "f"})
    putFile(inTree(name), name);
  ASSERT_TRUE(waitUntil([&] {
    return callCount() == 6 &&
           runProcess({"sh", "-c", "ls " + root() + " | grep -c started"}).out == "2\n";
  }));
  kill(daemon, SIGUSR1);
  EXPECT_TRUE(
      waitForLog("Status: 1 directories watched, 4 runs queued, 2 running, 0 waiting to "
                 "retry, 2 started, 0 failed, 0 overflows"));
  // -1: any age above 0.
  EXPECT_TRUE(waitForMetrics({{"vellumd_runs_queued", 4},
                              {"vellumd_runs_running", 2},
                              {"vellumd_oldest_queued_run_seconds", -1}}));

  putFile(release, "");
  ASSERT_TRUE(waitForHandled(6));
  // Six files of one creation, one write and one close each.
  EXPECT_TRUE(waitForMetrics({{"vellumd_runs_queued", 0},
                              {"vellumd_runs_running", 0},
                              {"vellumd_runs_started_total", 6},
                              {"vellumd_runs_failed_total", 1},
                              {"vellumd_records_total", 18},
                              {"vellumd_oldest_queued_run_seconds", 0}}))
      << readWhole(metricsPath());
  kill(daemon, SIGUSR1);
  EXPECT_TRUE(
      waitForLog("Status: 1 directories watched, 0 runs queued, 0 running, 0 waiting to "
                 "retry, 6 started, 1 failed, 0 overflows"));
}

TEST_F(StatusTest, NodeExporterServesTheRunsStartedAndNoneQueuedOnceTheyAreDone) {
  const std::string exporter = "/usr/bin/prometheus-node-exporter";
  if (access(exporter.c_str(), X_OK) != 0)
    GTEST_SKIP() << exporter << " is missing: install the Debian package prometheus-node-exporter";
  startWithMetrics();
  const std::string address = "127.0.0.1:" + std::to_string(freeLocalPort());
  // Left running by a shell that tells its PID; ended by that PID.
  struct EndByPid {
    pid_t pid;
    ~EndByPid() { kill(pid, SIGTERM); }
  } peer{std::stoi(
      runProcess({"sh", "-c",
                  exporter + " --web.listen-address=" + address +
                      " --collector.disable-defaults --collector.textfile "
                      "--collector.textfile.directory=" +
                      metricsDirectory() + " >" + root() + "/exporter.out 2>&1 & echo $!"})
          .out)};
  std::string page;
  auto scrape = [&] {
    page = runProcess({"curl", "-sf", "http://" + address + "/metrics"}).out;
    return sample(page, "vellumd_runs_started_total");
  };
  ASSERT_TRUE(waitUntil([&] { return scrape() == 0; })) << readWhole(root() + "/exporter.out");
  for (int i = 0; i < 5; ++i)
    putFile(inTree(std::to_string(i)), "");
  EXPECT_TRUE(waitUntil([&] { return scrape() == 5 && sample(page, "vellumd_runs_queued") == 0; }))
      << page;
  EXPECT_EQ(sample(page, "node_textfile_scrape_error"), 0);
}

// Nothing is written through a link planted at the temporary's name or the file's, and only a
// regular file is replaced; a write that fails is said once, and tried again at the next change.
TEST_F(StatusTest, LinksAtTheMetricsPathsAreLeftAloneWithOneWarningEachAndTheFileWrittenWhenFree) {
  const std::string elsewhere = root() + "/elsewhere";
  putFile(elsewhere, "kept");
  ASSERT_EQ(symlink(elsewhere.c_str(), (metricsPath() + ".tmp").c_str()), 0);
  startWithMetrics();
  const std::string cannot = "Can't write metrics file " + metricsPath() + " - ";
  EXPECT_TRUE(waitForLog(cannot + "File exists - trying again at the next change"));
  ASSERT_EQ(unlink((metricsPath() + ".tmp").c_str()), 0);
  writeFile("a", "a");
  EXPECT_TRUE(waitForMetrics({{"vellumd_runs_started_total", 1}}));
  ASSERT_EQ(unlink(metricsPath().c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), metricsPath().c_str()), 0);
  writeFile("b", "b");
  EXPECT_TRUE(waitForLog(cannot + "is a link - trying again at the next change"));
  EXPECT_EQ(readWhole(elsewhere), "kept");
  EXPECT_EQ(occurrences(readWhole(logPath()), cannot), 2u);
}

}  // namespace
}  // namespace vellumd::e2e
