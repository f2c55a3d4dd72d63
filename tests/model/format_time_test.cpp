// SPDX-License-Identifier: GPL-3.0-or-later
// formatTime converted any finite double to time_t, which is undefined for a
// value time_t cannot hold (fuzz_summary, UBSan: "-3.4436e+299 is outside the
// range of representable values of type 'long'"). Such a time now reads as
// the epoch, like NaN. The undefined conversion shows under the sanitizer
// build (make sanitizers); here the results are pinned.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

#include "model/time_text.h"

namespace mf {
namespace {

TEST(FormatTimeBeyondTimeT, ReadsAsTheEpochInsteadOfConvertingOutOfRange) {
  const std::string epoch = formatTime(0.0);
  for (double t : {1e300, -3.4436e299, 9.3e18, -9.3e18, std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::lowest(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EQ(formatTime(t), epoch) << t;
  }
  // The largest times that do fit still go through the clock: the result is
  // a time of day or the placeholder when the year is beyond the calendar.
  for (double t : {9.2e18, -9.2e18}) EXPECT_TRUE(std::regex_match(formatTime(t), std::regex("..:..:.."))) << t;
}

}  // namespace
}  // namespace mf
