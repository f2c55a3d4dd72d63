// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where an event's identifier and time come from. The trace's services
// provide them; the rules that append events take them as they are.

#include "model/uuid.h"

namespace mf {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock seconds since the Unix epoch.
  virtual double now() = 0;
};

class IdSource {
 public:
  virtual ~IdSource() = default;
  // A new random version-4 UUID.
  virtual Uuid next() = 0;
};

}  // namespace mf
