// describe_event_test.cpp: the log text of inotify records, over a registry built on a temp tree.
#include "events/describe_event.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "errors/errors.h"
#include "watch/watched_tree.h"

namespace vellumd {
namespace {

namespace fs = std::filesystem;

// One inotify record with room for a name, aligned as the kernel's buffer is.
class Record {
 public:
  Record(int wd, uint32_t mask, uint32_t cookie, const std::string& name = "", uint32_t len = 0) {
    inotify_event header{};
    header.wd = wd;
    header.mask = mask;
    header.cookie = cookie;
    header.len = len;
    std::memcpy(bytes_, &header, sizeof header);
    std::memcpy(bytes_ + sizeof header, name.data(), std::min<size_t>(name.size(), len));
  }
  const inotify_event& event() const { return *reinterpret_cast<const inotify_event*>(bytes_); }

 private:
  alignas(inotify_event) unsigned char bytes_[sizeof(inotify_event) + 256] = {};
};

// A registry over <t> holding <t>/sub, with <t>'s and sub's descriptors as the registry has them.
class DescribeEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vellumd_describe_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    t_ = pattern;
    fs::create_directory(t_ + "/sub");
    watched_ = std::make_unique<WatchedTree>(DirEntryIterator::DefaultIgnoreList(), 4046);
    watched_->scan.watchTree(t_);
    registry_ = &watched_->watch;
    ASSERT_EQ(registry_->entries().size(), 2u);
    target_ = registry_->entries().begin()->first;
    sub_ = registry_->entries().rbegin()->first;
    ASSERT_EQ(registry_->pathOf(sub_), t_ + "/sub");
  }
  void TearDown() override {
    watched_.reset();
    std::error_code ignored;
    fs::remove_all(t_, ignored);
  }

  std::string describe(const Record& record) const {
    return describeEvent(record.event(), registry_->registry());
  }
  std::string prefix(int wd, uint32_t cookie = 0) const {
    return "Inotify event for " + std::to_string(wd) + "(cookie:" + std::to_string(cookie) + ") - ";
  }

  std::string t_;
  std::unique_ptr<WatchedTree> watched_;
  InotifyWatch* registry_ = nullptr;  // watched_'s
  int target_ = -1;
  int sub_ = -1;
};

TEST_F(DescribeEventTest, FileClosedAfterWritingShowsNameInDirectory) {
  EXPECT_EQ(describe(Record(target_, IN_CLOSE_WRITE, 0, "a.txt", 16)),
            prefix(target_) + "a.txt in " + t_ + " - IN_CLOSE_WRITE");
}

TEST_F(DescribeEventTest, DirectoryCreatedShowsBothFlags) {
  EXPECT_EQ(describe(Record(target_, IN_CREATE | IN_ISDIR, 0, "sub", 16)),
            prefix(target_) + "sub in " + t_ + " - IN_CREATE|IN_ISDIR");
}

TEST_F(DescribeEventTest, MovedFileShowsTheSameCookieOnBothRecords) {
  EXPECT_EQ(describe(Record(sub_, IN_MOVED_FROM, 812, "b.txt", 16)),
            prefix(sub_, 812) + "b.txt in " + t_ + "/sub - IN_MOVED_FROM");
  EXPECT_EQ(describe(Record(target_, IN_MOVED_TO, 812, "b.txt", 16)),
            prefix(target_, 812) + "b.txt in " + t_ + " - IN_MOVED_TO");
}

TEST_F(DescribeEventTest, SelfEventsShowThePathAndNoName) {
  EXPECT_EQ(describe(Record(sub_, IN_DELETE_SELF, 0)), prefix(sub_) + t_ + "/sub - IN_DELETE_SELF");
  EXPECT_EQ(describe(Record(sub_, IN_MOVE_SELF, 0)), prefix(sub_) + t_ + "/sub - IN_MOVE_SELF");
  // An entry bit without a name concerns the watched directory itself.
  EXPECT_EQ(describe(Record(target_, IN_ATTRIB | IN_ISDIR, 0)),
            prefix(target_) + t_ + " - IN_ATTRIB|IN_ISDIR");
}

TEST_F(DescribeEventTest, FlagOnlyRecordsNeedNoKnownDescriptor) {
  EXPECT_EQ(describe(Record(sub_, IN_IGNORED, 0)), prefix(sub_) + "IN_IGNORED");
  EXPECT_EQ(describe(Record(-1, IN_Q_OVERFLOW, 0)),
            "Inotify event for -1(cookie:0) - IN_Q_OVERFLOW");
  EXPECT_EQ(describe(Record(12345, IN_IGNORED, 0)), prefix(12345) + "IN_IGNORED");
  EXPECT_EQ(describe(Record(12345, IN_UNMOUNT, 0)), prefix(12345) + "IN_UNMOUNT");
}

// The kernel may queue records for a watch after the IN_IGNORED that made the registry forget it.
TEST_F(DescribeEventTest, RecordsOfAnUnknownDescriptorAreDescribedWithWhatTheyHave) {
  EXPECT_EQ(describe(Record(12345, IN_CLOSE_WRITE, 0, "a.txt", 16)),
            "Inotify event for 12345(cookie:0) - a.txt in (unknown directory) - IN_CLOSE_WRITE");
  EXPECT_EQ(describe(Record(12345, IN_DELETE_SELF, 0)),
            "Inotify event for 12345(cookie:0) - (unknown directory) - IN_DELETE_SELF");
}

TEST_F(DescribeEventTest, MaskWithoutNamedBitsEndsAfterTheDash) {
  EXPECT_EQ(describe(Record(target_, 0, 0, "a.txt", 16)), prefix(target_));
  EXPECT_EQ(describe(Record(target_, 0x1000 | 0x10000 | 0x800000 | 0x8000000 | 0x10000000, 0)),
            prefix(target_));
}

TEST_F(DescribeEventTest, LargeCookiesArePositive) {
  EXPECT_EQ(describe(Record(-1, IN_Q_OVERFLOW, 2147483648u)),
            "Inotify event for -1(cookie:2147483648) - IN_Q_OVERFLOW");
  EXPECT_EQ(describe(Record(-1, IN_Q_OVERFLOW, 4294967295u)),
            "Inotify event for -1(cookie:4294967295) - IN_Q_OVERFLOW");
}

// The later row wins: the self bit drops the name that the entry bit had set.
TEST_F(DescribeEventTest, LaterSelfRowOverridesAnEarlierEntryRow) {
  EXPECT_EQ(describe(Record(sub_, IN_MODIFY | IN_DELETE_SELF, 0, "x", 16)),
            prefix(sub_) + t_ + "/sub - IN_MODIFY|IN_DELETE_SELF");
}

// Every named bit in ascending order, each once: a typo or a missing row in the table shows here.
TEST_F(DescribeEventTest, EveryNamedBitIsShownOnceInAscendingOrder) {
  EXPECT_EQ(describe(Record(target_, 0x3FF, 0, "f", 16)),
            prefix(target_) + "f in " + t_ +
                " - IN_ACCESS|IN_MODIFY|IN_ATTRIB|IN_CLOSE_WRITE|IN_CLOSE_NOWRITE|IN_OPEN|"
                "IN_MOVED_FROM|IN_MOVED_TO|IN_CREATE|IN_DELETE");
  EXPECT_EQ(describe(Record(12345, 0xFFFFF000u, 0)),
            prefix(12345) +
                "IN_UNMOUNT|IN_Q_OVERFLOW|IN_IGNORED|IN_ONLYDIR|IN_DONT_FOLLOW|IN_EXCL_UNLINK|"
                "IN_MASK_ADD|IN_ISDIR|IN_ONESHOT");
  int rows = 0;
  for (const EventFlagName* row = kEventFlagNames; row->name != nullptr; ++row)
    ++rows;
  EXPECT_EQ(rows, 21);
}

}  // namespace
}  // namespace vellumd
