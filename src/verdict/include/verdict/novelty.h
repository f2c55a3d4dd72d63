// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/event_list.h"

namespace mf {

// A message with what changes from run to run masked: numbers (PIDs,
// counts, times) as "#", addresses and long hex ids as "#", and paths under
// the temporary folders (/tmp, /var/tmp, /dev/shm, /run/user) as "<tmp>".
// Two runs of one program that say the same thing say it alike.
std::string maskedMessage(std::string_view message);

// The masked messages of an earlier trace, against which a later one's
// events are new or not.
class Baseline {
 public:
  Baseline() = default;
  explicit Baseline(const EventList& events);
  void add(std::string_view message) { masked_.insert(maskedMessage(message)); }
  bool isNew(std::string_view message) const { return !masked_.contains(maskedMessage(message)); }
  bool empty() const { return masked_.empty(); }

 private:
  std::unordered_set<std::string> masked_;
};

// How many errors and warnings (not routine noise) of `events` are new.
struct NoveltyCounts {
  std::size_t events = 0;
  std::size_t errors = 0;
  std::size_t warnings = 0;
};
NoveltyCounts countNew(const EventList& events, const Baseline& baseline);

// "3 new errors since " + `since`, "1 new error, 2 new warnings since …",
// "4 new events since …" (none of them an error or warning), "Nothing new
// since …".
std::string noveltyText(const NoveltyCounts& counts, std::string_view since = "the previous launch");

}  // namespace mf
