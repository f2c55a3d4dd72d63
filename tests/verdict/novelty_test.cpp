// SPDX-License-Identifier: GPL-3.0-or-later
// What makes two runs' lines the same line, and the count beside the verdict.
#include <gtest/gtest.h>

#include "verdict/novelty.h"

namespace mf {
namespace {

struct MaskRow {
  const char* name;
  const char* message;
  const char* masked;
  friend void PrintTo(const MaskRow& row, std::ostream* out) { *out << row.name; }
};

class Mask : public testing::TestWithParam<MaskRow> {};

TEST_P(Mask, HidesWhatChangesFromRunToRun) { EXPECT_EQ(maskedMessage(GetParam().message), GetParam().masked); }

INSTANTIATE_TEST_SUITE_P(
    Table, Mask,
    testing::Values(MaskRow{"PidAndTime", "app[4242]: took 0.49 s", "app[#]: took #.# s"},
                    MaskRow{"Address", "fault at 0x7ffd3a2b ip 00005581deadbeef", "fault at # ip #"},
                    MaskRow{"Uuid", "id 3f2a9c1e-12ab-4cde-8f00-aabbccddeeff", "id #"},
                    MaskRow{"TemporaryPath", "cannot open /tmp/app-XyZ12/sock: refused", "cannot open <tmp>: refused"},
                    MaskRow{"WordsStayWords", "libfoo.so.1 deadbeef feed", "libfoo.so.# deadbeef feed"}),
    [](const testing::TestParamInfo<MaskRow>& info) { return std::string(info.param.name); });

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
