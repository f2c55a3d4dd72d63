// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace mf {

// "HH:mm:ss", 24-hour clock, local time zone.
std::string formatTime(double time);

}  // namespace mf
