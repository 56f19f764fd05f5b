// describe_event.h: turns one inotify record into the text of its log line, with the names of
// its mask bits, the entry's name and the watched directory's path.
#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <string>

#include "watch/watch_registry.h"

namespace vellumd {

enum EventFlagKind : int32_t {
  FlagOnly = 1,    // only the bit's name is shown
  EntryEvent = 2,  // the entry's name and the directory's path are shown
  SelfEvent = 3,   // the watched directory's path is shown, no entry name
};

struct EventFlagName {
  int32_t kind;
  uint32_t mask;
  const char* name;  // null in the terminating row
};

// One row per named inotify bit in ascending bit order, ended by {0, 0, nullptr}.
extern const EventFlagName kEventFlagNames[];

// "Inotify event for WD(cookie:C) - [NAME in ][PATH - ]FLAG|FLAG". Names and paths are escaped
// for the log. Reads the registry only; never throws for what a record holds: a descriptor the
// registry does not hold shows "(unknown directory)" as its path, and a path of kMaxPath bytes or
// more "(path too long)".
std::string describeEvent(const inotify_event& event, const WatchRegistry& registry);

}  // namespace vellumd
