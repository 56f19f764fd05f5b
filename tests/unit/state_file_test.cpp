// state_file_test.cpp: the state file over a real temporary directory: what is saved is what is
// loaded, whatever bytes the paths hold; a file that is missing, damaged, unwritable or names a
// path out of the tree is told apart; what lies in the place of its temporary copy is not written.
#include "watch/state_file.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vellumd {
namespace {

TEST(StateFileTest, SavedStateLoadsBackAndDamageIsReportedNotTrusted) {
  char pattern[] = "/tmp/vellumd-state-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  StateFile file(directory + "/state", "/srv/in");
  EXPECT_EQ(file.refusal(), "");
  std::string error;
  EXPECT_FALSE(file.load(error).has_value());
  EXPECT_EQ(error, "") << "no file yet is a first start, not an error";

  // Paths that look like the format's own lines.
  const TreeState state{{1796650000, 123456789},
                        {{"/srv/in/a\nb c", {1796650001, 5}}, {"/srv/in/run 1 2 3", {2, 0}}},
                        {"/srv/in/end\nlook 3\n"},
                        {{"/srv/in/retry 1 2 3\n", 4, {1796650002, 7}}}};
  ASSERT_TRUE(file.save(state, error)) << error;
  std::optional<TreeState> loaded = file.load(error);
  ASSERT_TRUE(loaded.has_value()) << error;
  EXPECT_EQ(loaded->horizon.tv_nsec, 123456789);
  ASSERT_EQ(loaded->runs.size(), 2u);
  EXPECT_EQ(loaded->runs[0].path, "/srv/in/a\nb c");
  EXPECT_EQ(loaded->toLook, state.toLook);
  ASSERT_EQ(loaded->retries.size(), 1u);
  EXPECT_EQ(loaded->retries[0].path, "/srv/in/retry 1 2 3\n");
  EXPECT_EQ(loaded->retries[0].triesLeft, 4u);
  EXPECT_EQ(loaded->retries[0].due.tv_sec, 1796650002);

  // Cut short, as a file that was never renamed into place would be.
  std::filesystem::resize_file(directory + "/state", 40);
  EXPECT_FALSE(file.load(error).has_value());
  EXPECT_EQ(error, "is damaged or cut short");

  // A path that is not strictly below the tree sets the whole file aside, horizon included.
  for (const char* path : {"/srv/in/..", "/srv/in", "/srv/in/", "/srv/inner/a", "/srv/in//a",
                           "/srv/in/./a", "/srv/in/a/../../../etc/passwd", "/etc/passwd"}) {
    const TreeState outside{{1796650000, 0}, {{"/srv/in/a", {1, 0}}}, {}, {{path, 1, {0, 0}}}};
    ASSERT_TRUE(file.save(outside, error)) << error;
    EXPECT_FALSE(file.load(error).has_value()) << path;
    EXPECT_EQ(error, "names a path outside the tree") << path;
  }

  // A link left in the place of the temporary copy is removed, not written through.
  std::filesystem::create_symlink(directory + "/victim", directory + "/state.new");
  ASSERT_TRUE(file.save(state, error)) << error;
  EXPECT_FALSE(std::filesystem::exists(directory + "/victim"));
  EXPECT_TRUE(file.load(error).has_value()) << error;
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace vellumd
