// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict's rule table (cases/verdicts.tsv): the events of a trace as
// the trace and its roads word them, and the one sentence they answer with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cases.h"
#include "verdict/verdict.h"

namespace mf {
namespace {

// A trace of the table: its events and the verdict they must give.
struct Row {
  std::string name;
  std::string kind;
  std::string restsOn;
  std::string text;
  EventList events;
  friend void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
};

std::vector<Row> readRows() {
  std::vector<Row> rows;
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/verdicts.tsv")) {
    if (c[0] == "verdict") {
      rows.push_back({c[1], c[2], c[3], c[4], {}});
      continue;
    }
    EventType type = EventType::info;
    for (auto t : {EventType::warning, EventType::error, EventType::success}) type = label(t) == c[1] ? t : type;
    LineOrigin origin = LineOrigin::trace;
    for (auto o : {LineOrigin::journal, LineOrigin::standardError}) origin = originName(o) == c[3] ? o : origin;
    rows.back().events.append(Uuid{}, 1000 + std::stod(c[0]), type, c[2], c[4], c.size() > 5, origin);
  }
  return rows;
}

class VerdictRule : public ::testing::TestWithParam<Row> {};

TEST_P(VerdictRule, AnswersWithTheTracesOwnCause) {
  const Row& row = GetParam();
  const Verdict verdict = judgeTrace(row.events);
  EXPECT_EQ(verdict.text, row.text);
  EXPECT_EQ(verdictKindName(verdict.kind), row.kind);
  EXPECT_EQ(verdict.event ? std::to_string(*verdict.event) : "-", row.restsOn);
}

INSTANTIATE_TEST_SUITE_P(Table, VerdictRule, ::testing::ValuesIn(readRows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace mf
