// SPDX-License-Identifier: GPL-3.0-or-later
// What makes two runs' lines the same line, and the count beside the verdict.
#include <gtest/gtest.h>

#include <sstream>

#include "support/cases.h"
#include "verdict/novelty.h"

namespace mf {
namespace {

class Mask : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(Mask, HidesWhatChangesFromRunToRun) { EXPECT_EQ(maskedMessage(GetParam().fields[0]), GetParam().fields[1]); }

INSTANTIATE_TEST_SUITE_P(Table, Mask, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/masks.tsv")),
                         testing::caseName);

// Each run's lines as TYPE MESSAGE, the type E, W or I, or N for an error that is routine noise.
EventList run(const std::string& lines) {
  EventList events;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    const EventType type = line[0] == 'W' ? EventType::warning : line[0] == 'I' ? EventType::info : EventType::error;
    events.append(Uuid{}, 1, type, "CONSOLE", line.substr(2), line[0] == 'N');
  }
  return events;
}

class Novelty : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(Novelty, CountsWhatThePreviousRunDidNotSay) {
  EXPECT_EQ(noveltyText(countNew(run(GetParam().fields[1]), Baseline(run(GetParam().fields[0])))), GetParam().fields[2]);
}

INSTANTIATE_TEST_SUITE_P(Table, Novelty, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/novelty.tsv")),
                         testing::caseName);

}  // namespace
}  // namespace mf
