// watch_registry.cpp: the entries of the watched tree and the one walk up their parent chains.
#include "watch/watch_registry.h"

#include <algorithm>
#include <functional>

#include "errors/errors.h"

namespace vellumd {

namespace {
// The names from a directory up, joined once from the top: prepending at every level would copy
// the path once per level.
std::string joinFromTop(const std::vector<const std::string*>& names) {
  size_t length = 0;
  for (const std::string* name : names)
    length += name->size() + 1;
  std::string path;
  path.reserve(length);
  path = *names.back();
  for (auto name = names.rbegin() + 1; name != names.rend(); ++name) {
    if (!(*name)->empty() && (*name)->front() == '/') {
      path = **name;
      continue;
    }
    if (path.empty() || path.back() != '/')
      path.push_back('/');
    path.append(**name);
  }
  return path;
}
}  // namespace

// With the map's own 40 bytes per node, 88: one 96-byte block of the allocator per directory.
static_assert(sizeof(WatchEntry) <= 48);

void PendingWrites::note(const std::string& name, uint32_t mask) {
  if (!files_)
    files_ = std::make_unique<Map>();
  (*files_)[name] |= mask;
}

uint32_t PendingWrites::mask(const std::string& name) const {
  if (!files_)
    return 0;
  auto it = files_->find(name);
  return it == files_->end() ? 0 : it->second;
}

void PendingWrites::clear(const std::string& name) {
  if (files_)
    files_->erase(name);
}

const PendingWrites::Map& PendingWrites::files() const {
  static const Map kNone;
  return files_ ? *files_ : kNone;
}

WatchRegistry::~WatchRegistry() = default;

const WatchEntry* WatchRegistry::find(int wd) const {
  auto it = entries_.find(wd);
  return it == entries_.end() ? nullptr : &it->second;
}

PlacedWatch WatchRegistry::record(int wd, int parent, const std::string& name, bool viaLink) {
  // The kernel hands out descriptors in rising order: a new one nearly always goes at the end,
  // where the hint makes its insertion cost no search.
  const bool newest = entries_.empty() || entries_.rbegin()->first < wd;
  auto [it, inserted] =
      newest ? std::pair(entries_.emplace_hint(entries_.end(), wd, WatchEntry{}), true)
             : entries_.try_emplace(wd);
  WatchEntry& entry = it->second;
  if (inserted) {
    entry.parent = parent;
    entry.name = name;
    entry.viaLink = viaLink;
    return {wd, WatchOutcome::kNew};
  }
  // The kernel returns the existing descriptor when a directory is reached twice, through a link
  // or a bind mount. One that leads back to this parent or above it would close the parent chain
  // into a ring, and neither pathOf nor the scan would end: such a directory stays where it is.
  if (parent != -1 && depthBelow(wd, parent) >= 0)
    return {-1, WatchOutcome::kWouldLoop};
  if (entry.parent == parent && entry.name == name)
    return {wd, WatchOutcome::kUnchanged};
  // Pending masks name files of this very directory, whichever way it was reached: they stay,
  // so that a rescan or a second way in loses no file still being written.
  entry.parent = parent;
  entry.name = name;
  entry.viaLink = viaLink;
  return {wd, WatchOutcome::kReparented};
}

bool WatchRegistry::recordDeparted(int wd, const std::string& label) {
  auto [it, inserted] = entries_.try_emplace(wd);
  if (!inserted)
    return false;
  it->second.name = label;
  it->second.departed = true;
  return true;
}

void WatchRegistry::rename(int wd, int parent, const std::string& name) {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return;
  it->second.parent = parent;
  it->second.name = name;
}

bool WatchRegistry::erase(int wd) {
  return entries_.erase(wd) > 0;
}

std::vector<int> WatchRegistry::childrenNamed(int parent, const std::string& name) const {
  std::vector<int> children;
  for (const auto& [descriptor, entry] : entries_) {
    if (entry.parent == parent && entry.name == name && !entry.departed)
      children.push_back(descriptor);
  }
  return children;
}

std::vector<int> WatchRegistry::departSubtree(int wd) {
  if (!entries_.contains(wd))
    return {};
  // Down from `wd` through an index of children built once: walking up from every entry would
  // cost the tree's size times its depth.
  std::multimap<int, int> children;
  for (const auto& [descriptor, entry] : entries_) {
    if (!entry.departed && !entry.viaLink && descriptor != wd)
      children.emplace(entry.parent, descriptor);
  }
  std::vector<std::pair<int, int>> leaving{{0, wd}};  // (depth below wd, descriptor)
  for (size_t next = 0; next < leaving.size(); ++next) {
    const auto [depth, parent] = leaving[next];
    auto [first, last] = children.equal_range(parent);
    for (auto child = first; child != last; ++child)
      leaving.emplace_back(depth + 1, child->second);
  }
  std::sort(leaving.begin(), leaving.end(), std::greater<>());
  std::vector<int> departed;
  departed.reserve(leaving.size());
  for (auto [depth, descriptor] : leaving) {
    entries_[descriptor].departed = true;
    departed.push_back(descriptor);
  }
  return departed;
}

bool WatchRegistry::collectNames(int wd, size_t limit) const {
  std::vector<const std::string*>& names = scratchNames_;
  names.clear();
  const WalkEnd end = walkUp(
      wd,
      [&names](int, const WatchEntry& entry) {
        names.push_back(&entry.name);
        return true;
      },
      limit);
  return end == WalkEnd::kTop || end == WalkEnd::kGap;
}

std::string WatchRegistry::pathOf(int wd) const {
  if (wd == -1)
    return "";
  if (!collectNames(wd, SIZE_MAX))
    throw NotFoundError("watch descrepter not found!!");
  return joinFromTop(scratchNames_);
}

std::optional<std::string> WatchRegistry::boundedPathOf(int wd) const {
  if (!collectNames(wd, kMaxPath))
    return std::nullopt;
  return joinFromTop(scratchNames_);
}

std::optional<size_t> WatchRegistry::boundedPathLength(int wd) const {
  size_t length = 0;
  const WalkEnd end = walkUp(
      wd, [](int, const WatchEntry&) { return true; }, kMaxPath, &length);
  if (end != WalkEnd::kTop && end != WalkEnd::kGap)
    return std::nullopt;
  return length;
}

WatchRegistry::Location WatchRegistry::locate(int wd, bool withPath) const {
  const WatchEntry* entry = find(wd);
  if (entry == nullptr)
    return {Location::Status::kUnknown, {}};
  if (entry->departed)
    return {Location::Status::kDeparted, {}};
  std::vector<const std::string*>& names = scratchNames_;
  names.clear();
  bool adrift = false;
  const WalkEnd end = walkUp(
      wd,
      [&](int, const WatchEntry& up) {
        adrift = adrift || up.departed;
        names.push_back(&up.name);
        return true;
      },
      kMaxPath);
  if (end == WalkEnd::kTooLong)
    return {Location::Status::kTooLong, {}};
  if (adrift || end != WalkEnd::kTop)
    return {Location::Status::kAdrift, {}};
  return {Location::Status::kInTree, withPath ? joinFromTop(names) : std::string()};
}

std::optional<std::string> WatchRegistry::wayDown(int top, int wd, bool& gone) const {
  std::vector<const std::string*>& names = scratchNames_;
  names.clear();
  bool reached = false;
  gone = false;
  const WalkEnd end = walkUp(
      wd,
      [&](int descriptor, const WatchEntry& entry) {
        if (descriptor == top) {
          reached = true;
          return false;
        }
        if (entry.departed) {
          gone = true;
          return false;
        }
        if (entry.viaLink || entry.parent == -1)
          return false;
        names.push_back(&entry.name);
        return true;
      },
      kMaxPath);
  if (end == WalkEnd::kGap || end == WalkEnd::kUnknown || end == WalkEnd::kTooLong)
    gone = true;
  if (!reached || names.empty())
    return std::nullopt;
  return joinFromTop(names);
}

int WatchRegistry::depthBelow(int ancestor, int wd, bool stopAtLinks) const {
  int depth = 0;
  bool found = false;
  walkUp(wd, [&](int descriptor, const WatchEntry& entry) {
    if (descriptor == ancestor) {
      found = true;
      return false;
    }
    if (stopAtLinks && entry.viaLink)
      return false;
    ++depth;
    return true;
  });
  return found ? depth : -1;
}

bool WatchRegistry::isRooted(int wd) const {
  return walkUp(wd, [](int, const WatchEntry& entry) { return !entry.departed; }) == WalkEnd::kTop;
}

bool WatchRegistry::isDeparted(int wd) const {
  const WatchEntry* entry = find(wd);
  return entry != nullptr && entry->departed;
}

void WatchRegistry::notePending(int wd, const std::string& name, uint32_t mask) {
  if (auto it = entries_.find(wd); it != entries_.end())
    it->second.pending.note(name, mask);
}

uint32_t WatchRegistry::pendingMask(int wd, const std::string& name) const {
  const WatchEntry* entry = find(wd);
  return entry == nullptr ? 0 : entry->pending.mask(name);
}

void WatchRegistry::clearPending(int wd, const std::string& name) {
  if (auto it = entries_.find(wd); it != entries_.end())
    it->second.pending.clear(name);
}

uint32_t WatchRegistry::takePending(int wd, const std::string& name) {
  auto it = entries_.find(wd);
  if (it == entries_.end())
    return 0;
  const uint32_t mask = it->second.pending.mask(name);
  if (mask != 0)
    it->second.pending.clear(name);
  return mask;
}

std::string joinPath(const std::string& base, const std::string& name) {
  if (!name.empty() && name.front() == '/')
    return name;
  if (base.empty())
    return "/" + name;
  if (base.back() == '/')
    return base + name;
  return base + "/" + name;
}

}  // namespace vellumd
