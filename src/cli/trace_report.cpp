// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace_report.h"

#include <cstdio>
#include <string>
#include <unistd.h>

#include "terminal_text.h"
#include "verdict/verdict.h"

namespace mf::cli {
namespace {

// "Verdict: " and its sentence, and with a baseline what is new since it,
// each new listed event under it.
std::string verdictLines(const EventList& events, const std::vector<std::uint32_t>& rows,
                         const std::optional<Baseline>& baseline) {
  std::string text = "\nVerdict: " + indentContinuationLines(judgeTrace(events).text);
  if (!baseline) return text;
  text += "\n" + noveltyText(countNew(events, *baseline), "the baseline");
  for (const auto row : rows) {
    const EventView event = events[row];
    if (baseline->isNew(event.message)) text += "\n  " + indentContinuationLines(summaryEventLine(event));
  }
  return text;
}

}  // namespace

int exitStatusOf(const EventList& events, const std::vector<std::uint32_t>& rows) {
  for (const auto row : rows) {
    if (events[row].type == EventType::error) return 1;
  }
  return 0;
}

int reportSummary(const SummaryHeader& header, const EventList& events, const std::vector<std::uint32_t>& rows,
                  const std::optional<Baseline>& baseline) {
  std::string text = verdictLines(events, rows, baseline) + "\n\n" + buildSummary(header, events, {});
  for (const auto row : rows) {
    text += '\n';
    text += indentContinuationLines(summaryEventLine(events[row]));
  }
  text += '\n';
  const std::string summary = forOutput(text);
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);
  return exitStatusOf(events, rows);
}

}  // namespace mf::cli
