// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

#include "model/event_list.h"

namespace mf {

struct SessionCounts {
  std::size_t actionable = 0;
  std::size_t errors = 0;
  std::size_t warnings = 0;
  bool isClean() const { return errors == 0 && warnings == 0; }
};

SessionCounts countSession(const EventList& events);

}  // namespace mf
