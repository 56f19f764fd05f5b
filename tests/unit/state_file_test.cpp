// state_file_test.cpp: the state file over a real temporary directory: what is saved is what is
// loaded, whatever bytes the paths hold, and a file that is missing, damaged or unwritable is
// told apart.
#include "watch/state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace vellumd {
namespace {

TEST(StateFileTest, SavedStateLoadsBackAndDamageIsReportedNotTrusted) {
  char pattern[] = "/tmp/vellumd-state-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  StateFile file(directory + "/state");
  std::string error;
  EXPECT_FALSE(file.load(error).has_value());
  EXPECT_EQ(error, "") << "no file yet is a first start, not an error";

  TreeState state;
  state.horizon = {1796650000, 123456789};
  state.runs.push_back({"/srv/in/a\nb c", {1796650001, 5}});
  state.runs.push_back({"/srv/in/run 1 2 3", {1796650002, 0}});
  state.toLook.push_back("/srv/in/end\nlook 3\n");
  ASSERT_TRUE(file.save(state, error)) << error;
  std::optional<TreeState> loaded = file.load(error);
  ASSERT_TRUE(loaded.has_value()) << error;
  EXPECT_EQ(loaded->horizon.tv_sec, 1796650000);
  EXPECT_EQ(loaded->horizon.tv_nsec, 123456789);
  ASSERT_EQ(loaded->runs.size(), 2u);
  EXPECT_EQ(loaded->runs[0].path, "/srv/in/a\nb c");
  EXPECT_EQ(loaded->runs[1].changed.tv_sec, 1796650002);
  EXPECT_EQ(loaded->toLook, state.toLook);
  EXPECT_FALSE(std::filesystem::exists(directory + "/state.new"));

  // Cut short, as a crash while writing would leave a file that was not renamed into place.
  std::filesystem::resize_file(directory + "/state", 40);
  EXPECT_FALSE(file.load(error).has_value());
  EXPECT_EQ(error, "is damaged or cut short");
  std::ofstream(directory + "/state") << "something else\n";
  EXPECT_FALSE(file.load(error).has_value());
  EXPECT_EQ(error, "is not a state file");

  StateFile unwritable(directory + "/missing/state");
  EXPECT_FALSE(unwritable.save(state, error));
  EXPECT_EQ(error, "cannot be written - No such file or directory");
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace vellumd
