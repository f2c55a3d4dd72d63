// SPDX-License-Identifier: GPL-3.0-or-later
// What makes two runs' lines the same line, and the count beside the verdict.
#include <gtest/gtest.h>

#include "support/cases.h"
#include "verdict/novelty.h"

namespace mf {
namespace {

class Mask : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(Mask, HidesWhatChangesFromRunToRun) { EXPECT_EQ(maskedMessage(GetParam().fields[0]), GetParam().fields[1]); }

INSTANTIATE_TEST_SUITE_P(Table, Mask, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/masks.tsv")),
                         testing::caseName);

TEST(Novelty, OnlyTheLineTheSecondRunAddedIsNew) {
  EventList first;
  EventList second;
  first.append(Uuid{}, 1, EventType::info, "PROCESS", "app launched with PID 100", false);
  first.append(Uuid{}, 2, EventType::warning, "CONSOLE", "app[100]: cache at /tmp/a1b2 is stale", false);
  second.append(Uuid{}, 1, EventType::info, "PROCESS", "app launched with PID 200", false);
  second.append(Uuid{}, 2, EventType::warning, "CONSOLE", "app[200]: cache at /tmp/c3d4 is stale", false);
  second.append(Uuid{}, 3, EventType::error, "FILE", "app[200]: cannot open settings.ini", false);
  const Baseline baseline(first);
  EXPECT_FALSE(baseline.isNew(second[0].message));
  EXPECT_FALSE(baseline.isNew(second[1].message));
  EXPECT_TRUE(baseline.isNew(second[2].message));
  const NoveltyCounts counts = countNew(second, baseline);
  EXPECT_EQ(noveltyText(counts), "1 new error since the previous launch");
  EXPECT_EQ(noveltyText(countNew(first, Baseline(first))), "Nothing new since the previous launch");
}

}  // namespace
}  // namespace mf
