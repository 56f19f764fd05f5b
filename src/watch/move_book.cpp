// move_book.cpp: directory renames from their departure to the directory's own record of it.
#include "watch/move_book.h"

#include <algorithm>

namespace vellumd {

namespace {
// How many renames may wait for their IN_MOVE_SELF. A departure recorded for a stale twin never
// gets one; the oldest go first.
constexpr size_t kMaxPendingMoves = 1024;
}  // namespace

MoveBook::~MoveBook() = default;

template <typename Gone>
void MoveBook::dropLeaving(Gone gone) {
  for (DirectoryMove& move : moves_)
    std::erase_if(move.leaving, gone);
  std::erase_if(moves_, [](const DirectoryMove& move) { return move.leaving.empty(); });
}

void MoveBook::recordMoveFrom(int wd, const std::string& name, uint32_t cookie) {
  DirectoryMove move{cookie, registry_.childrenNamed(wd, name), false, -1, {}};
  if (move.leaving.empty())
    return;  // nothing watched left: no IN_MOVE_SELF will come for it
  if (moves_.size() == kMaxPendingMoves)
    moves_.erase(moves_.begin());
  moves_.push_back(std::move(move));
}

bool MoveBook::completeMoveTo(int wd, const std::string& name, uint32_t cookie) {
  auto move = std::find_if(moves_.begin(), moves_.end(), [cookie](const DirectoryMove& m) {
    return m.cookie == cookie && !m.arrived;
  });
  if (move == moves_.end())
    return false;
  move->arrived = true;
  move->toParent = wd;
  move->toName = name;
  if (move->leaving.size() == 1)
    registry_.rename(move->leaving.front(), wd, name);
  return true;
}

MoveOutcome MoveBook::settleMove(int wd) {
  // The kernel queues a directory's IN_MOVE_SELF right after the records of that very rename, and
  // renames of one directory come one at a time: the newest move that names it is its own. Older
  // ones named it as a stale twin of the directory that really moved, and never will again.
  auto names = [wd](const DirectoryMove& m) {
    return std::find(m.leaving.begin(), m.leaving.end(), wd) != m.leaving.end();
  };
  auto move = std::find_if(moves_.rbegin(), moves_.rend(), names);
  if (move == moves_.rend())
    return MoveOutcome::kUnmatched;
  const bool arrived = move->arrived;
  if (arrived)
    registry_.rename(wd, move->toParent, move->toName);
  moves_.erase(std::next(move).base());
  forget(wd);
  return arrived ? MoveOutcome::kMovedInside : MoveOutcome::kMovedOut;
}

void MoveBook::forget(int wd) {
  dropLeaving([wd](int leaving) { return leaving == wd; });
}

void MoveBook::forgetDeparted() {
  dropLeaving([this](int leaving) {
    const WatchEntry* entry = registry_.find(leaving);
    return entry == nullptr || entry->departed;
  });
}

}  // namespace vellumd
