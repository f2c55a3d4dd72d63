// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/time_text.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

namespace mf {

std::string formatTime(double time, std::optional<int> utcOffset) {
  // Whole seconds, rounded down, so 12:00:00.9 still reads 12:00:00 as a clock would.
  // A time that time_t cannot hold (or NaN) reads like the epoch: converting
  // it would be undefined, and no clock gives such a reading anyway.
  const double floored = std::floor(time);
  const double limit = -static_cast<double>(std::numeric_limits<std::time_t>::min());
  const std::time_t seconds = floored >= -limit && floored < limit ? static_cast<std::time_t>(floored) : 0;
  // Events come in runs within one second (a batch, a screen of rows), and
  // the time-zone conversion costs more than the rest of a line's output.
  thread_local std::time_t cachedSeconds = 0;
  thread_local std::optional<int> cachedOffset;
  thread_local std::string cachedText;
  if (!cachedText.empty() && seconds == cachedSeconds && utcOffset == cachedOffset) return cachedText;
  std::tm local{};
  const std::time_t there = utcOffset ? seconds + *utcOffset : seconds;
  if ((utcOffset ? gmtime_r(&there, &local) : localtime_r(&seconds, &local)) == nullptr) return "00:00:00";
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  cachedSeconds = seconds;
  cachedOffset = utcOffset;
  cachedText = text;
  return cachedText;
}


}  // namespace mf
