#include "export/summary.h"

#include "model/time_text.h"

namespace mf {

namespace {
std::string bracketHead(const EventView& event) {
  std::string head;
  head.reserve(24 + event.source.size());
  head += '[';
  head += formatTime(event.time);
  head += "] [";
  head += label(event.type);
  head += "] [";
  head += event.source;
  head += ']';
  return head;
}
}  // namespace

std::string summaryEventLine(const EventView& event) {
  std::string line = bracketHead(event);
  line += ' ';
  line += event.message;
  return line;
}

std::string singleEventText(const EventView& event) {
  std::string text = bracketHead(event);
  text += '\n';
  text += event.message;
  return text;
}

std::string buildSummary(const SummaryHeader& header, const EventList& events,
                         const std::vector<std::uint32_t>& rows) {
  std::string text = "Marrowfield Diagnostic Summary";
  text += "\nApp: " + header.appName;
  if (header.appPath) text += "\nPath: " + *header.appPath;
  if (!header.bundleIdentifier.empty()) text += "\nBundle ID: " + header.bundleIdentifier;
  text += header.showRawLog ? "\nMode: Raw Log" : "\nMode: Actionable";
  text += '\n';  // the empty line between the header and the events
  for (auto row : rows) {
    text += '\n';
    text += summaryEventLine(events[row]);
  }
  return text;
}

}  // namespace mf
