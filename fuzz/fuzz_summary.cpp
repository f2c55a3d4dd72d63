// SPDX-License-Identifier: GPL-3.0-or-later
// The summary text over event lists built from the input, whatever bytes the
// fields hold (invalid UTF-8, NUL, brackets, CR) and whatever the times are:
// header lines, one empty line, one line per listed event in order, joined
// by LF with none after the last, nothing escaped, nothing added. Along the
// way the list keeps what it was given, and a copy taken before more appends
// keeps its own events.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "export/summary.h"
#include "model/time_text.h"
#include "fuzz_common.h"
#include "model/event_list.h"

namespace {

using mf::fuzz::mismatch;

double timeFrom(mf::fuzz::Reader& in) {
  const std::uint8_t kind = in.byte();
  if (kind < 200) return 1.7e9 + kind * 3600.25;  // ordinary clock readings
  // Anything a double can hold: NaN, infinities, huge, negative, subnormal.
  std::uint64_t bits = 0;
  for (int k = 0; k < 8; ++k) bits = (bits << 8) | in.byte();
  double t;
  std::memcpy(&t, &bits, sizeof t);
  return t;
}

bool isClock(std::string_view t) {
  if (t.size() != 8 || t[2] != ':' || t[5] != ':') return false;
  auto two = [&](std::size_t at, int max) {
    if (t[at] < '0' || t[at] > '9' || t[at + 1] < '0' || t[at + 1] > '9') return false;
    return (t[at] - '0') * 10 + (t[at + 1] - '0') <= max;
  };
  return two(0, 23) && two(3, 59) && two(6, 60);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mf::fuzz::Reader in(data, size);
  const std::uint8_t flags = in.byte();
  mf::SummaryHeader header;
  header.appName = std::string(in.piece(20));
  if (flags & 1) header.appPath = std::string(in.piece(30));
  header.bundleIdentifier = std::string(in.piece(20));
  header.showRawLog = (flags & 2) != 0;

  std::vector<mf::MarrowfieldEvent> given;
  mf::EventList events;
  mf::EventList snapshot;
  std::size_t snapshotSize = 0;
  while (!in.empty() && given.size() < 64) {
    mf::MarrowfieldEvent e;
    std::array<std::uint8_t, 16> id{};
    id[0] = static_cast<std::uint8_t>(given.size());
    e.id = mf::Uuid::fromRandomBytes(id);
    e.time = timeFrom(in);
    const std::uint8_t kind = in.byte();
    e.type = static_cast<mf::EventType>(kind % 4);
    e.isRoutineNoise = (kind & 4) != 0;
    e.source = std::string(in.piece(12));
    e.message = std::string(in.piece(60));
    events.append(e);
    given.push_back(e);
    if (kind & 8) {
      snapshot = events;
      snapshotSize = events.size();
    }
  }

  // The list holds exactly what was appended; the copy still holds its part.
  if (events.size() != given.size()) std::abort();
  for (std::size_t i = 0; i < given.size(); ++i) {
    const mf::MarrowfieldEvent back = events.at(i);
    // NaN never equals itself; compare the time by its bits.
    const bool sameTime = std::memcmp(&back.time, &given[i].time, sizeof(double)) == 0;
    if (!sameTime || back.id != given[i].id || back.type != given[i].type || back.source != given[i].source ||
        back.message != given[i].message || back.isRoutineNoise != given[i].isRoutineNoise) {
      mismatch("the list changed an event", given[i].message, back.message, given[i].source);
    }
  }
  if (snapshot.size() != snapshotSize) std::abort();
  for (std::size_t i = 0; i < snapshotSize; ++i) {
    if (snapshot[i].message != given[i].message) mismatch("a copy changed by later appends", given[i].message, snapshot[i].message, {});
  }

  // Every event listed, or a selection of them, in order.
  std::vector<std::uint32_t> rows;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (header.showRawLog || !events[i].isRoutineNoise) rows.push_back(static_cast<std::uint32_t>(i));
  }

  std::vector<std::string> expected = {"Marrowfield Diagnostic Summary", "App: " + header.appName};
  if (header.appPath) expected.push_back("Path: " + *header.appPath);
  if (!header.bundleIdentifier.empty()) expected.push_back("Bundle ID: " + header.bundleIdentifier);
  expected.push_back(header.showRawLog ? "Mode: Raw Log" : "Mode: Actionable");
  expected.push_back("");
  const std::size_t headerLines = expected.size();
  for (auto row : rows) {
    const mf::EventView e = events[row];
    const std::string line = mf::summaryEventLine(e);
    const std::string time = mf::formatTime(e.time);
    if (!isClock(time)) mismatch("formatTime", std::to_string(e.time), time, "HH:mm:ss");
    const std::string head = "[" + time + "] [" + std::string(mf::label(e.type)) + "] [" + std::string(e.source) + "]";
    if (line != head + " " + std::string(e.message)) mismatch("summaryEventLine", e.message, line, head);
    const std::string single = mf::singleEventText(e);
    if (single != head + "\n" + std::string(e.message)) mismatch("singleEventText", e.message, single, head);
    expected.push_back(line);
  }
  std::string want;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i > 0) want += '\n';
    want += expected[i];
  }
  const std::string summary = mf::buildSummary(header, events, rows);
  if (summary != want) mismatch("buildSummary", header.appName, summary, want);

  // When no field holds a line feed, the lines can be counted back, and
  // there is a CR only where a field brought one.
  std::string fields = header.appName + header.appPath.value_or("") + header.bundleIdentifier;
  for (auto row : rows) fields += std::string(events[row].source) + std::string(events[row].message);
  if (fields.find('\n') == std::string::npos) {
    std::size_t lines = 1;
    for (char c : summary) lines += c == '\n' ? 1 : 0;
    if (lines != headerLines + rows.size()) mismatch("line count", summary, std::to_string(lines), {});
    if (!rows.empty() && summary.back() == '\n') mismatch("a line feed after the last line", summary, {}, {});
  }
  if (fields.find('\r') == std::string::npos && summary.find('\r') != std::string::npos) {
    mismatch("a CR added", summary, {}, {});
  }
  return 0;
}
