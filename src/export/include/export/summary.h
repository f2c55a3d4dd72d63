// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/event_list.h"

namespace mf {

// "[HH:mm:ss] [LABEL] [SOURCE] message"; the time as formatTime gives it
// (another machine's clock with `utcOffset`).
std::string summaryEventLine(const EventView& event, std::optional<int> utcOffset = std::nullopt);
// The same line appended to `out`, for output built a batch at a time.
void appendSummaryEventLine(std::string& out, const EventView& event, std::optional<int> utcOffset = std::nullopt);
// "[HH:mm:ss] [LABEL] [SOURCE]\nmessage"
std::string singleEventText(const EventView& event, std::optional<int> utcOffset = std::nullopt);

struct SummaryHeader {
  std::string appName;
  std::optional<std::string> appPath;
  std::string bundleIdentifier;
  bool showRawLog = false;
  // The machine the trace ran on, when it was not this one.
  std::optional<std::string> host = std::nullopt;
  // Its UTC offset, in which the events' times are given.
  std::optional<int> utcOffset = std::nullopt;
};

// Lines joined by "\n", none after the last. `rows` are indices into `events`.
std::string buildSummary(const SummaryHeader& header, const EventList& events,
                         const std::vector<std::uint32_t>& rows);

}  // namespace mf
