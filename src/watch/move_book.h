// move_book.h: directory renames between their first record and their last. The kernel reports
// a rename as IN_MOVED_FROM in the old parent, IN_MOVED_TO in the new one (when it is watched)
// and then IN_MOVE_SELF on the directory itself: only that last record says for sure which
// directory moved, since a parent and name may have named another one by then. The book keeps
// each rename from its departure to that record, and renames the registry's entries as they
// settle. Owned by InotifyWatch beside the registry it edits. Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "watch/watch_registry.h"

namespace vellumd {

// What a directory's own IN_MOVE_SELF turned out to mean.
enum class MoveOutcome {
  kMovedInside,  // its move within the tree was matched; the entry has its new parent and name
  kMovedOut,     // it left the tree: its departure had no arrival
  kUnmatched,    // no recorded move names it: where it went is not known
};

// One directory rename as its records told it so far: the entries that bore the old parent and
// name (usually one; more when the registry held a stale twin), and where it arrived, if in the
// tree.
struct DirectoryMove {
  uint32_t cookie = 0;
  std::vector<int> leaving;
  bool arrived = false;
  int toParent = -1;
  std::string toName;
};

class MoveBook {
 public:
  // REQUIRES: `registry` outlives the book.
  explicit MoveBook(WatchRegistry& registry) : registry_(registry) {}
  MoveBook(const MoveBook&) = delete;
  MoveBook& operator=(const MoveBook&) = delete;
  virtual ~MoveBook();

  // Unknown descriptors and cookies are ignored, never raised.
  void recordMoveFrom(int wd, const std::string& name, uint32_t cookie);
  // Notes where the directory that left with `cookie` arrived, and gives it its new parent and
  // name at once when only one entry bore the old ones. False when no registered directory left
  // with it: what arrived came from outside the tree.
  bool completeMoveTo(int wd, const std::string& name, uint32_t cookie);
  // The directory `wd` reported its own move: settles the newest recorded move that names it.
  MoveOutcome settleMove(int wd);
  // Drops every recorded departure: after lost records, half of a move may be all there is.
  void clear() { moves_.clear(); }
  // Drops `wd` from every recorded departure: it is forgotten.
  void forget(int wd);
  // Drops every departed or forgotten entry from the recorded departures.
  void forgetDeparted();

  const std::vector<DirectoryMove>& moves() const { return moves_; }

 private:
  // Drops the entries for which `gone` holds from every departure; a departure left with none
  // will never see its IN_MOVE_SELF and goes too.
  template <typename Gone>
  void dropLeaving(Gone gone);

  WatchRegistry& registry_;
  std::vector<DirectoryMove> moves_;  // renames whose IN_MOVE_SELF is still to come, oldest first
};

}  // namespace vellumd
