#include "export/summary.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace mf {

std::string formatTime(double time) {
  // Whole seconds, rounded down, so 12:00:00.9 still reads 12:00:00 as a clock would.
  // A time that time_t cannot hold (or NaN) reads like the epoch: converting
  // it would be undefined, and no clock gives such a reading anyway.
  const double floored = std::floor(time);
  const double limit = -static_cast<double>(std::numeric_limits<std::time_t>::min());
  const std::time_t seconds = floored >= -limit && floored < limit ? static_cast<std::time_t>(floored) : 0;
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return "00:00:00";
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

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
