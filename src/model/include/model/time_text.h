// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

namespace mf {

// "HH:mm:ss", 24-hour clock, in the local time zone, or `utcOffset` seconds
// east of UTC (another machine's clock) when given.
std::string formatTime(double time, std::optional<int> utcOffset = std::nullopt);

}  // namespace mf
