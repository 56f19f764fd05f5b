// settle_queue.cpp: names waiting to be quiet, in the order they come due.
#include "driver/settle_queue.h"

namespace vellumd {

SettleQueue::~SettleQueue() = default;

void SettleQueue::wait(const Name& name, RunKind kind, Clock::time_point deadline) {
  auto [waiting, added] = waiting_.try_emplace(name, Waiting{kind, deadline});
  if (added) {
    order_.emplace_back(name, deadline);
    return;
  }
  waiting->second = Waiting{kind, deadline};
}

void SettleQueue::noteRecord(const Name& name, bool gone) {
  auto waiting = waiting_.find(name);
  if (waiting == waiting_.end())
    return;
  if (gone) {
    waiting->second.dropped = true;
    return;
  }
  // The place already in the queue is pushed back when it comes up.
  if (!waiting->second.dropped)
    waiting->second.deadline = Clock::now() + settle_;
}

std::optional<SettleQueue::Clock::time_point> SettleQueue::next() const {
  if (order_.empty())
    return std::nullopt;
  return order_.front().second;
}

std::vector<std::pair<SettleQueue::Name, RunKind>> SettleQueue::takeDue(Clock::time_point now,
                                                                        size_t limit) {
  std::vector<std::pair<Name, RunKind>> due;
  while (!order_.empty() && order_.front().second <= now && due.size() < limit) {
    Name name = std::move(order_.front().first);
    order_.pop_front();
    auto waiting = waiting_.find(name);
    if (waiting == waiting_.end())
      continue;
    if (waiting->second.dropped) {
      waiting_.erase(waiting);
      continue;
    }
    if (waiting->second.deadline > now) {
      order_.emplace_back(std::move(name), waiting->second.deadline);
      continue;
    }
    due.emplace_back(std::move(name), waiting->second.kind);
    waiting_.erase(waiting);
  }
  return due;
}

std::vector<SettleQueue::Name> SettleQueue::names() const {
  std::vector<Name> names;
  for (const auto& [name, waiting] : waiting_) {
    if (!waiting.dropped)
      names.push_back(name);
  }
  return names;
}

}  // namespace vellumd
