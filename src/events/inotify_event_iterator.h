// inotify_event_iterator.h: walks the variable-length records of one inotify read in place.
// The iterator owns nothing: the records are views into the registry's read buffer and stay
// valid until its next readEvents().
#pragma once

#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

namespace vellumd {

class InotifyEventIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = inotify_event;
  using difference_type = void;
  using pointer = const inotify_event*;
  using reference = const inotify_event&;

  static constexpr int64_t kHeaderSize = sizeof(inotify_event);

  // The end iterator.
  InotifyEventIterator();
  // Stands on the first record of `count` bytes at `start`, or at the end when they hold none.
  // Yields whole, aligned records only: the walk ends at a record that runs past `count` bytes or
  // does not start aligned for inotify_event (the kernel's records always do).
  InotifyEventIterator(const std::byte* start, int64_t count);
  InotifyEventIterator(const InotifyEventIterator&) = default;
  InotifyEventIterator& operator=(const InotifyEventIterator&) = default;
  virtual ~InotifyEventIterator();

  // REQUIRES: not at the end.
  reference operator*() const { return *current_; }
  pointer operator->() const { return current_; }
  InotifyEventIterator& operator++();
  InotifyEventIterator operator++(int);
  bool operator==(const InotifyEventIterator& other) const { return current_ == other.current_; }

 private:
  void advance();

  const std::byte* next_ = nullptr;  // where the record after the current one starts; null at end
  int64_t remaining_ = 0;            // bytes read at or after next_; 0 at the end
  const inotify_event* current_ = nullptr;  // null exactly when at the end
};

// The name a record carries: its NUL-terminated name field (never read past len bytes), or ""
// when len is 0.
std::string eventName(const inotify_event& event);

}  // namespace vellumd
