// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "trace/services.h"

namespace mf {

// Wall-clock seconds since the Unix epoch: the time of every event.
double wallClockNow();

class SystemClock final : public Clock {
 public:
  double now() override;
};

// Random version-4 identifiers from getrandom(), drawn 4 KiB at a time so a
// flood of events does not cost one system call each. Thread-safe.
class RandomIdSource final : public IdSource {
 public:
  Uuid next() override;

 private:
  void refill();

  std::mutex mutex_;
  std::array<std::uint8_t, 4096> pool_{};
  std::size_t used_ = 4096;
};

}  // namespace mf
