// describe_event.cpp: the log text of one inotify record.
#include "events/describe_event.h"

#include "events/inotify_event_iterator.h"
#include "log/log.h"

namespace vellumd {

const EventFlagName kEventFlagNames[] = {
    {EntryEvent, IN_ACCESS, "IN_ACCESS"},
    {EntryEvent, IN_MODIFY, "IN_MODIFY"},
    {EntryEvent, IN_ATTRIB, "IN_ATTRIB"},
    {EntryEvent, IN_CLOSE_WRITE, "IN_CLOSE_WRITE"},
    {EntryEvent, IN_CLOSE_NOWRITE, "IN_CLOSE_NOWRITE"},
    {EntryEvent, IN_OPEN, "IN_OPEN"},
    {EntryEvent, IN_MOVED_FROM, "IN_MOVED_FROM"},
    {EntryEvent, IN_MOVED_TO, "IN_MOVED_TO"},
    {EntryEvent, IN_CREATE, "IN_CREATE"},
    {EntryEvent, IN_DELETE, "IN_DELETE"},
    {SelfEvent, IN_DELETE_SELF, "IN_DELETE_SELF"},
    {SelfEvent, IN_MOVE_SELF, "IN_MOVE_SELF"},
    {FlagOnly, IN_UNMOUNT, "IN_UNMOUNT"},
    {FlagOnly, IN_Q_OVERFLOW, "IN_Q_OVERFLOW"},
    {FlagOnly, IN_IGNORED, "IN_IGNORED"},
    {FlagOnly, IN_ONLYDIR, "IN_ONLYDIR"},
    {FlagOnly, IN_DONT_FOLLOW, "IN_DONT_FOLLOW"},
    {FlagOnly, IN_EXCL_UNLINK, "IN_EXCL_UNLINK"},
    {FlagOnly, IN_MASK_ADD, "IN_MASK_ADD"},
    {FlagOnly, IN_ISDIR, "IN_ISDIR"},
    {FlagOnly, IN_ONESHOT, "IN_ONESHOT"},
    {0, 0, nullptr},
};

namespace {
// The directory of a record as the log shows it. Any record the kernel can produce is described,
// including one queued for a watch already forgotten, and one whose path renames have pushed
// beyond the longest path.
std::string directoryText(int wd, const WatchRegistry& registry) {
  if (wd == -1)
    return "";
  if (!registry.entries().contains(wd))
    return "(unknown directory)";
  std::optional<std::string> path = registry.boundedPathOf(wd);
  return path ? escapeForLog(*path) : "(path too long)";
}
}  // namespace

std::string describeEvent(const inotify_event& event, const WatchRegistry& registry) {
  std::string flags;
  std::string name;
  std::string directory;
  for (const EventFlagName* row = kEventFlagNames; row->name != nullptr; ++row) {
    if ((event.mask & row->mask) == 0)
      continue;
    if (!flags.empty())
      flags += '|';
    flags += row->name;
    // A later matching row overwrites what an earlier one set.
    if (row->kind == EntryEvent) {
      name = eventName(event);
      directory = directoryText(event.wd, registry);
    } else if (row->kind == SelfEvent) {
      name.clear();
      directory = directoryText(event.wd, registry);
    }
  }
  std::string text = "Inotify event for " + std::to_string(event.wd) +
                     "(cookie:" + std::to_string(event.cookie) + ") - ";
  if (!name.empty())
    text.append(escapeForLog(name)).append(" in ");
  if (!directory.empty())
    text.append(directory).append(" - ");
  text += flags;
  return text;
}

}  // namespace vellumd
