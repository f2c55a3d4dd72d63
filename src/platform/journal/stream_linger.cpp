// SPDX-License-Identifier: GPL-3.0-or-later
// The streams that linger after their trace let them go.
#include "platform/journal_follower.h"
#include "platform/log_stream.h"

namespace mf {

void LingeringStreams::adopt(std::shared_ptr<JournalFollower> follower) {
  std::vector<std::shared_ptr<JournalFollower>> finished;
  {
    std::lock_guard lock(mutex_);
    // Join the ones that ended meanwhile, so the set stays small.
    std::erase_if(followers_, [&](auto& f) {
      if (!f->isDone()) return false;
      finished.push_back(std::move(f));
      return true;
    });
    followers_.push_back(std::move(follower));
  }
  for (auto& f : finished) f->join();
}

std::size_t LingeringStreams::size() {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(followers_.begin(), followers_.end(), [](auto& f) { return !f->isDone(); }));
}

LingeringStreams::~LingeringStreams() {
  std::vector<std::shared_ptr<JournalFollower>> followers;
  {
    std::lock_guard lock(mutex_);
    followers.swap(followers_);
  }
  for (auto& follower : followers) follower->requestStop(JournalFollower::Stop::now);
  for (auto& follower : followers) follower->finish();
}

}  // namespace mf
