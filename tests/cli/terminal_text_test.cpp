// SPDX-License-Identifier: GPL-3.0-or-later
// What marrowfield-cli does to log text on its way to a terminal or into
// JSON, and JSON read back as a trace on another host: the rows of
// cases/text.tsv.

#include <gtest/gtest.h>

#include <sstream>

#include "json_output.h"
#include "support/cases.h"
#include "terminal_text.h"

namespace mf::cli {
namespace {

std::string written(const testing::Case& c) {
  if (c[0] == "terminal") return escapeControlCharacters(c[1]);
  if (c[0] == "indent") return indentContinuationLines(c[1]);
  if (c[0] == "json") return jsonString(c[1]);
  if (c[0] == "quote") return shellQuoted(c[1]);
  if (c[0] == "event") {
    const LineOrigin origin = c[2] == "journal" ? LineOrigin::journal : c[2] == "stderr" ? LineOrigin::standardError : LineOrigin::trace;
    return eventJson(EventList::fromVector({MarrowfieldEvent{Uuid{}, std::stod(c[1]), EventType::warning, "GTK", c[3], false, origin}})[0], std::nullopt);
  }
  if (c[0] == "outcome") {
    std::vector<MarrowfieldEvent> events;
    for (std::size_t i = 2; i + 2 < c.size(); i += 2) events.push_back(MarrowfieldEvent{Uuid{}, 0, EventType::info, c[i], c[i + 1]});
    const TraceOutcome outcome = remoteOutcome(EventList::fromVector(events), c[1]);
    static const char* const kKinds[] = {"stopped", "exited", "crashed", "killed", "handed off", "launch failed"};
    return kKinds[static_cast<int>(outcome.kind)] + (" " + std::to_string(outcome.value));
  }
  if (c[0] == "reader") {
    RemoteTraceReader reader;
    std::string took;
    std::istringstream lines(c[2]);
    for (std::string line; std::getline(lines, line);) took += "-tev"[static_cast<int>(reader.takeLine(line))];
    const RemoteEvent& e = reader.event();
    std::string why = reader.failure("h", std::stoi(c[1]), "refused");
    for (auto at = why.find(MARROWFIELD_VERSION); at != std::string::npos; at = why.find(MARROWFIELD_VERSION)) why.replace(at, std::string_view(MARROWFIELD_VERSION).size(), "V");
    return took + " " + reader.app() + " " + std::to_string(reader.utcOffset().value_or(-1)) + " " + std::string(label(e.type)) + "/" + e.source +
           "/" + e.message + "/" + (e.noise ? "noise" : "") + "/" + std::string(originName(e.origin)) + "/" + std::to_string(e.time) + "/" + e.id.toString() + "/" + std::to_string(launchedPid(e, reader.app())) + " | " + why;
  }
  const auto members = readJsonObject(c[1]);
  std::string read = members ? "" : "-";
  for (const auto& [key, value] : members.value_or(std::map<std::string, std::string>{})) read += (read.empty() ? "" : "|") + key + "=" + value;
  return read;
}

class CliText : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(CliText, IsWrittenAsTheRowSays) { EXPECT_EQ(written(GetParam().fields), GetParam().fields.back()); }

INSTANTIATE_TEST_SUITE_P(Table, CliText, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/text.tsv")),
                         testing::caseName);

}  // namespace
}  // namespace mf::cli
