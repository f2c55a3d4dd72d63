// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/system_clock.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <sys/random.h>

namespace mf {

double wallClockNow() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count();
}

double SystemClock::now() { return wallClockNow(); }

void RandomIdSource::refill() {
  std::size_t filled = 0;
  while (filled < pool_.size()) {
    const auto got = ::getrandom(pool_.data() + filled, pool_.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      // getrandom cannot fail on Linux >= 3.17 once the pool is seeded; keep
      // identifiers unique anyway rather than handing out zeros.
      std::random_device device;
      for (; filled < pool_.size(); ++filled) pool_[filled] = static_cast<std::uint8_t>(device());
    }
  }
  used_ = 0;
}

Uuid RandomIdSource::next() {
  std::lock_guard lock(mutex_);
  if (used_ + 16 > pool_.size()) refill();
  std::array<std::uint8_t, 16> random{};
  std::memcpy(random.data(), pool_.data() + used_, random.size());
  // Bytes handed out once are not kept around.
  std::memset(pool_.data() + used_, 0, random.size());
  used_ += random.size();
  return Uuid::fromRandomBytes(random);
}

}  // namespace mf
