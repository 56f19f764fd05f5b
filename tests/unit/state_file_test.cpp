// state_file_test.cpp: the state file over a real temporary directory: what is saved is what is
// loaded, whatever bytes the paths hold, and a file that is missing, damaged or unwritable is
// told apart.
#include "watch/state_file.h"

#include <gtest/gtest.h>

#include <filesystem>

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

  // Paths that look like the format's own lines.
  const TreeState state{{1796650000, 123456789},
                        {{"/srv/in/a\nb c", {1796650001, 5}}, {"/srv/in/run 1 2 3", {2, 0}}},
                        {"/srv/in/end\nlook 3\n"}};
  ASSERT_TRUE(file.save(state, error)) << error;
  std::optional<TreeState> loaded = file.load(error);
  ASSERT_TRUE(loaded.has_value()) << error;
  EXPECT_EQ(loaded->horizon.tv_nsec, 123456789);
  ASSERT_EQ(loaded->runs.size(), 2u);
  EXPECT_EQ(loaded->runs[0].path, "/srv/in/a\nb c");
  EXPECT_EQ(loaded->toLook, state.toLook);

  // Cut short, as a file that was never renamed into place would be.
  std::filesystem::resize_file(directory + "/state", 40);
  EXPECT_FALSE(file.load(error).has_value());
  EXPECT_EQ(error, "is damaged or cut short");
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace vellumd
