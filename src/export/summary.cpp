// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/summary.h"

#include "model/time_text.h"

namespace mf {

namespace {
void appendBracketHead(std::string& out, const EventView& event, std::optional<int> utcOffset) {
  out += '[';
  out += formatTime(event.time, utcOffset);
  out += "] [";
  out += label(event.type);
  out += "] [";
  out += event.source;
  out += ']';
}

std::string bracketHead(const EventView& event, std::optional<int> utcOffset) {
  std::string head;
  head.reserve(24 + event.source.size());
  appendBracketHead(head, event, utcOffset);
  return head;
}
}  // namespace

void appendSummaryEventLine(std::string& out, const EventView& event, std::optional<int> utcOffset) {
  appendBracketHead(out, event, utcOffset);
  out += ' ';
  out += event.message;
}

std::string summaryEventLine(const EventView& event, std::optional<int> utcOffset) {
  std::string line;
  line.reserve(26 + event.source.size() + event.message.size());
  appendSummaryEventLine(line, event, utcOffset);
  return line;
}

std::string singleEventText(const EventView& event, std::optional<int> utcOffset) {
  std::string text = bracketHead(event, utcOffset);
  text += '\n';
  text += event.message;
  return text;
}

std::string buildSummary(const SummaryHeader& header, const EventList& events,
                         const std::vector<std::uint32_t>& rows) {
  std::string text = "Marrowfield Diagnostic Summary";
  text += "\nApp: " + header.appName;
  if (header.host) text += "\nHost: " + *header.host;
  if (header.appPath) text += "\nPath: " + *header.appPath;
  if (!header.bundleIdentifier.empty()) text += "\nBundle ID: " + header.bundleIdentifier;
  text += header.showRawLog ? "\nMode: Raw Log" : "\nMode: Actionable";
  text += '\n';  // the empty line between the header and the events
  for (auto row : rows) {
    text += '\n';
    text += summaryEventLine(events[row], header.utcOffset);
  }
  return text;
}

}  // namespace mf
