// inotify_event_iterator.cpp: stepping over inotify records in place.
#include "events/inotify_event_iterator.h"

#include <cstdint>
#include <cstring>

namespace vellumd {

InotifyEventIterator::InotifyEventIterator() = default;

InotifyEventIterator::InotifyEventIterator(const std::byte* start, int64_t count)
    : next_(start), remaining_(start == nullptr ? 0 : count) {
  advance();
}

InotifyEventIterator::~InotifyEventIterator() = default;

InotifyEventIterator& InotifyEventIterator::operator++() {
  advance();
  return *this;
}

InotifyEventIterator InotifyEventIterator::operator++(int) {
  InotifyEventIterator before = *this;
  advance();
  return before;
}

void InotifyEventIterator::advance() {
  // The kernel's names are padded so that every record starts aligned; bytes that would put a
  // record anywhere else did not come from it, and the walk ends there.
  const bool aligned = reinterpret_cast<uintptr_t>(next_) % alignof(inotify_event) == 0;
  if (remaining_ >= kHeaderSize && aligned) {
    const auto* record = reinterpret_cast<const inotify_event*>(next_);
    const int64_t step = kHeaderSize + static_cast<int64_t>(record->len);
    // The kernel hands out whole records only; one whose name would run past the bytes read is
    // not ours to read, so the walk ends before it.
    if (step <= remaining_) {
      current_ = record;
      next_ += step;
      remaining_ -= step;
      return;
    }
  }
  next_ = nullptr;
  remaining_ = 0;
  current_ = nullptr;
}

std::string eventName(const inotify_event& event) {
  if (event.len == 0)
    return {};
  return std::string(event.name, strnlen(event.name, event.len));
}

}  // namespace vellumd
