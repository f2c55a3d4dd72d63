// SPDX-License-Identifier: GPL-3.0-or-later
// What `marrowfield-cli trace` prints at the end of a trace, for the traces
// run here and those read back from another machine alike.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "export/summary.h"
#include "model/event_list.h"
#include "verdict/novelty.h"

namespace mf::cli {

// 1 when an error event is listed (`rows` are the listed events), else 0.
int exitStatusOf(const EventList& events, const std::vector<std::uint32_t>& rows);

// Prints the verdict and the summary as "Copy Summary" gives it, but for the
// continuation lines of multi-line messages and fields, which are indented as
// the events are; returns the exit status. With a baseline, what is new since
// it follows the verdict. `header`'s fields are printed as given.
int reportSummary(const SummaryHeader& header, const EventList& events, const std::vector<std::uint32_t>& rows,
                  const std::optional<Baseline>& baseline);

}  // namespace mf::cli
