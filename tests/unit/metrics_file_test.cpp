// metrics_file_test.cpp: replacing a file whole, through no link, readable by all.
#include "driver/metrics_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vellumd {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(MetricsFileTest, ReplacesReadableByAllAndNeverThroughALink) {
  char pattern[] = "/tmp/metrics-file-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern, temporary = dir / "m.prom.tmp", victim = dir / "victim";
  MetricsFile file(dir / "m.prom");
  std::ofstream(temporary) << "left by an earlier daemon";
  std::ofstream(victim) << "kept";
  const mode_t umaskWas = umask(077);
  EXPECT_EQ(file.replace("a 1\n"), "");
  umask(umaskWas);
  EXPECT_EQ(fs::status(file.path()).permissions(), static_cast<fs::perms>(0644));
  EXPECT_EQ(contentOf(file.path()), "a 1\n");
  EXPECT_FALSE(fs::exists(temporary));

  fs::create_symlink(victim, temporary);
  EXPECT_EQ(file.replace("a 2\n"), "File exists");
  fs::remove(temporary);
  fs::remove(file.path());
  fs::create_symlink(victim, file.path());
  EXPECT_EQ(file.replace("a 3\n"), "is a link");
  EXPECT_EQ(contentOf(victim), "kept");
  fs::remove(file.path());
  fs::create_directory(file.path());
  EXPECT_EQ(file.replace("a 4\n"), "is not a regular file");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vellumd
