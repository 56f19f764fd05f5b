// event_iterator_test.cpp: walking hand-built inotify record buffers, and the name rule.
#include "events/inotify_event_iterator.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vellumd {
namespace {

// A buffer laid out as the kernel lays out one read: records of a 16-byte header and `len` name
// bytes, back to back, aligned as the kernel's buffer is.
class RecordBuffer {
 public:
  // Appends a record whose name field is `name` padded with NULs up to `len` bytes.
  // Returns the record's offset.
  size_t add(int wd, uint32_t mask, uint32_t cookie, const std::string& name, uint32_t len) {
    const size_t offset = used_;
    inotify_event header{};
    header.wd = wd;
    header.mask = mask;
    header.cookie = cookie;
    header.len = len;
    std::memcpy(bytes_ + used_, &header, sizeof header);
    used_ += sizeof header;
    std::memset(bytes_ + used_, 0, len);
    std::memcpy(bytes_ + used_, name.data(), std::min<size_t>(name.size(), len));
    used_ += len;
    return offset;
  }

  const std::byte* data() const { return bytes_; }
  int64_t size() const { return static_cast<int64_t>(used_); }

  std::vector<const inotify_event*> walk(int64_t count) const {
    std::vector<const inotify_event*> records;
    for (InotifyEventIterator it(bytes_, count), end; it != end; ++it) {
      records.push_back(&*it);
      if (records.size() > 100)
        break;  // a walk that never ends is a failure, not a hang
    }
    return records;
  }
  std::vector<const inotify_event*> walk() const { return walk(size()); }

 private:
  alignas(inotify_event) std::byte bytes_[1024] = {};
  size_t used_ = 0;
};

TEST(InotifyEventIteratorTest, NothingReadEqualsTheEndAtOnce) {
  RecordBuffer buffer;
  buffer.add(1, IN_CREATE, 0, "", 0);
  EXPECT_TRUE(InotifyEventIterator(buffer.data(), 0) == InotifyEventIterator());
  EXPECT_TRUE(InotifyEventIterator(nullptr, 0) == InotifyEventIterator());
  EXPECT_TRUE(InotifyEventIterator(buffer.data(), -16) == InotifyEventIterator());
}

TEST(InotifyEventIteratorTest, FewerBytesThanOneHeaderYieldNothing) {
  EXPECT_EQ(InotifyEventIterator::kHeaderSize, 16);
  RecordBuffer buffer;
  buffer.add(1, IN_CREATE, 0, "", 0);
  for (int64_t count = 1; count < 16; ++count) {
    EXPECT_TRUE(buffer.walk(count).empty()) << count;
  }
}

TEST(InotifyEventIteratorTest, RecordWithoutNameIsYieldedOnceWithEmptyName) {
  RecordBuffer buffer;
  buffer.add(4, IN_ATTRIB | IN_ISDIR, 0, "", 0);
  ASSERT_EQ(buffer.size(), 16);
  InotifyEventIterator it(buffer.data(), buffer.size());
  const InotifyEventIterator end;
  ASSERT_TRUE(it != end);
  EXPECT_EQ(it->wd, 4);
  EXPECT_EQ(it->mask, IN_ATTRIB | IN_ISDIR);
  EXPECT_EQ(eventName(*it), "");
  ++it;
  EXPECT_TRUE(it == end);
  ++it;  // further steps stay at the end
  EXPECT_TRUE(it == end);
}

TEST(InotifyEventIteratorTest, PaddedNameEndsAtItsNulAndNextRecordFollowsTheField) {
  RecordBuffer buffer;
  buffer.add(1, IN_CLOSE_WRITE, 0, "a.txt", 16);
  const size_t second = buffer.add(2, IN_CREATE, 0, "b", 16);
  ASSERT_EQ(second, 32u);
  const auto records = buffer.walk();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(eventName(*records[0]), "a.txt");
  EXPECT_EQ(eventName(*records[0]).size(), 5u);
  EXPECT_EQ(reinterpret_cast<const std::byte*>(records[1]), buffer.data() + 32);
  EXPECT_EQ(records[1]->wd, 2);
  EXPECT_EQ(eventName(*records[1]), "b");
}

// The bytes after a nameless header are the next record's header, not a name.
TEST(InotifyEventIteratorTest, NamelessRecordBeforeAnotherHasEmptyName) {
  RecordBuffer buffer;
  buffer.add(1, IN_DELETE_SELF, 0, "", 0);
  buffer.add(0x41414141, IN_IGNORED, 0x42424242, "zzz", 16);
  const auto records = buffer.walk();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(eventName(*records[0]), "");
  EXPECT_EQ(records[1]->wd, 0x41414141);
  EXPECT_EQ(eventName(*records[1]), "zzz");
}

TEST(InotifyEventIteratorTest, ThreeRecordsAreYieldedInOrderThenTheEnd) {
  RecordBuffer buffer;
  buffer.add(1, IN_CREATE, 0, "one", 16);
  buffer.add(2, IN_MOVED_FROM, 812, "two", 32);
  buffer.add(3, IN_MOVED_TO, 812, "", 0);

  InotifyEventIterator it(buffer.data(), buffer.size());
  const InotifyEventIterator end;
  std::vector<std::string> seen;
  while (it != end) {
    InotifyEventIterator before = it++;  // postfix hands back where it stood
    seen.push_back(std::to_string(before->wd) + ":" + eventName(*before));
    ASSERT_LE(seen.size(), 3u);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1:one", "2:two", "3:"}));
  EXPECT_TRUE(it == end);
}

TEST(InotifyEventIteratorTest, EveryEndEqualsEveryOtherAndNoRecordEqualsTheEnd) {
  RecordBuffer buffer;
  buffer.add(1, IN_CREATE, 0, "a", 16);
  InotifyEventIterator onRecord(buffer.data(), buffer.size());
  InotifyEventIterator walkedOff = onRecord;
  ++walkedOff;
  EXPECT_TRUE(InotifyEventIterator() == InotifyEventIterator(nullptr, 0));
  EXPECT_TRUE(walkedOff == InotifyEventIterator());
  EXPECT_TRUE(onRecord != InotifyEventIterator());
  EXPECT_TRUE(onRecord == InotifyEventIterator(buffer.data(), buffer.size()));
}

// A record whose name would run past the bytes read is not the walk's to read.
TEST(InotifyEventIteratorTest, RecordRunningPastTheDataIsNotYielded) {
  RecordBuffer buffer;
  buffer.add(1, IN_CREATE, 0, "a", 16);
  buffer.add(2, IN_CREATE, 0, "long-name", 64);
  // Only 8 bytes of the second record's name were "read".
  const auto cut = buffer.walk(32 + 16 + 8);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0]->wd, 1);
  // One byte short of a lone record is nothing at all.
  EXPECT_TRUE(buffer.walk(31).empty());
}

// The name field need not hold a NUL: the name then ends with the field, and nothing after the
// record is read. The record sits at the very end of its allocation so that an over-read shows.
TEST(EventNameTest, NameWithoutNulStopsAtLen) {
  constexpr size_t kSize = sizeof(inotify_event) + 8;
  auto storage = std::make_unique<std::byte[]>(kSize);
  inotify_event header{};
  header.wd = 1;
  header.mask = IN_CREATE;
  header.len = 8;
  std::memcpy(storage.get(), &header, sizeof header);
  std::memset(storage.get() + sizeof header, 'x', 8);
  const auto* record = reinterpret_cast<const inotify_event*>(storage.get());
  EXPECT_EQ(eventName(*record), "xxxxxxxx");

  InotifyEventIterator it(storage.get(), kSize);
  ASSERT_TRUE(it != InotifyEventIterator());
  EXPECT_EQ(eventName(*it), "xxxxxxxx");
  EXPECT_TRUE(++it == InotifyEventIterator());
}

}  // namespace
}  // namespace vellumd
