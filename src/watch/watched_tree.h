// watched_tree.h: the watch room assembled for one tree: the inotify instance with its registry,
// the identity checks and the scan, built in the order they depend on each other. Owned by the
// event loop; the dispatch works through it. Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "watch/dir_scan.h"
#include "watch/directory_identity.h"
#include "watch/inotify_watch.h"

namespace vellumd {

struct WatchedTree {
  // An inotify instance with no watch yet: scan.watchTree() places them. Throws SystemError.
  WatchedTree(const std::vector<std::string>& ignore, uint32_t mask) : watch(ignore, mask) {}
  WatchedTree(const WatchedTree&) = delete;
  WatchedTree& operator=(const WatchedTree&) = delete;

  InotifyWatch watch;
  DirectoryIdentity identity{watch};
  TreeScan scan{watch, identity};
};

}  // namespace vellumd
