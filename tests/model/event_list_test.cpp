// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/event_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <malloc.h>
#include <limits>
#include <regex>
#include <sstream>
#include <string>

#include "model/time_text.h"
#include "support/cases.h"
#include "text/search_fold.h"

namespace mf {
namespace {

Uuid idOf(std::uint8_t n) {
  std::array<std::uint8_t, 16> bytes{};
  bytes[15] = n;
  return Uuid::fromRandomBytes(bytes);
}

MarrowfieldEvent make(std::uint8_t n, std::string message, std::string source = "CONSOLE",
                      EventType type = EventType::info, bool noise = false) {
  return MarrowfieldEvent{idOf(n), 1000.0 + n, type, std::move(source), std::move(message), noise};
}

std::vector<std::string> messages(const EventList& list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < list.size(); ++i) out.emplace_back(list[i].message);
  return out;
}

TEST(EventList, StoresEveryFieldByteForByteAndRoundTripsThroughVectors) {
  const std::vector<MarrowfieldEvent> original{
      make(1, "first", "LOG", EventType::info),          make(2, "", "PROCESS", EventType::success),
      make(3, "noise", "FILE", EventType::error, true),  make(4, "Stra\xC3\x9F" "e \xC3\x96L", "", EventType::warning),
      make(5, "bad \xff\xfe bytes"),
  };
  EventList list = EventList::fromVector(original);
  EXPECT_EQ(list.toVector(), original);
  EXPECT_EQ(list[3].foldedMessage, foldForSearch("Stra\xC3\x9F" "e \xC3\x96L"));
  EXPECT_TRUE(list[0].foldedMessage.empty()) << "ASCII keeps no folded copy";
  EXPECT_THROW(list.at(5), std::out_of_range);
  // A version 4 id: the version and variant bits set, every other bit the source's.
  EXPECT_EQ(Uuid::fromRandomBytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x76, 0x77, 0xd8, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}).toString(),
            "00112233-4455-4677-9899-aabbccddeeff");
}

TEST(EventList, CopiesAreIndependentValuesWhicheverSideAppends) {
  EventList a;
  a.append(make(1, "one"));
  EventList b = a;
  a.append(make(2, "a-two"));
  EXPECT_EQ(a[0].message.data(), b[0].message.data()) << "a copy shares the storage; appending after it copies nothing";
  b.append(make(3, "b-two"));  // must not see a's second event, nor disturb it
  EventList c = a;
  c.append(make(4, "c-three"));
  a.append(make(5, "a-three"));
  EXPECT_EQ(messages(a), (std::vector<std::string>{"one", "a-two", "a-three"}));
  EXPECT_EQ(messages(b), (std::vector<std::string>{"one", "b-two"}));
  EXPECT_EQ(messages(c), (std::vector<std::string>{"one", "a-two", "c-three"}));
  const EventList shorter = c;
  c.append(make(4, "c-four"));  // the id of c-three again
  c.append(make(9, "c-five"));
  EXPECT_EQ(c.indexOf(idOf(4)), 2u) << "the first match";
  EXPECT_EQ(c.indexOf(idOf(9)), 4u);
  EXPECT_EQ(shorter.indexOf(idOf(9)), std::nullopt) << "shares storage, yet ends before it";

  // Views stay valid while a copy keeps the storage alive.
  const EventList keeper = c;
  const EventView view = c[2];
  c = EventList();
  EventList moved = std::move(a);
  a.append(make(6, "fresh"));  // NOLINT(bugprone-use-after-move): a moved-from list stays usable
  EXPECT_EQ(messages(a), (std::vector<std::string>{"fresh"}));
  EXPECT_EQ(view.message, "c-three");
  // Moved to a lower address and a higher one, then copied, a list arrives whole.
  EventList pair[2] = {EventList(), moved};
  pair[0] = std::move(pair[1]);
  pair[1] = std::move(pair[0]);
  pair[0] = pair[1];
  EXPECT_EQ(messages(pair[0]), (std::vector<std::string>{"one", "a-two", "a-three"}));
}

// Storage grows in pieces of several sizes (text blocks and record chunks
// that double up to a huge page); every event must read back as written
// across every seam, including messages that do not fit a block's rest and
// a few bigger than any shared block.
TEST(EventList, EveryEventReadsBackAcrossStoragePieces) {
  auto messageFor = [](std::size_t i) {
    const bool huge = i % 997 == 0 && i < 4000;
    const std::size_t length = huge ? (std::size_t{3} << 20) : 1 + (i * 7919) % 300;
    return std::string(length, static_cast<char>('a' + i % 26)) + std::to_string(i);
  };
  constexpr std::size_t kCount = 150'000;  // past the first record chunk and three huge-page ones
  EventList list;
  for (std::size_t i = 0; i < kCount; ++i) {
    list.append(idOf(static_cast<std::uint8_t>(i)), static_cast<double>(i), EventType::info, "CONSOLE", messageFor(i),
                i % 2 == 0);
  }
  for (int i = 0; i < 300; ++i) list.append(idOf(1), kCount, EventType::info, "S" + std::to_string(i), "late", false);
  EXPECT_EQ(list[kCount + 299].source, "S299") << "many sources stay distinct";
  for (std::size_t i = 0; i < kCount; ++i) {
    const EventView event = list[i];
    ASSERT_EQ(event.time, static_cast<double>(i)) << i;
    ASSERT_EQ(*event.id, idOf(static_cast<std::uint8_t>(i))) << i;
    ASSERT_EQ(event.isRoutineNoise, i % 2 == 0) << i;
    ASSERT_EQ(event.message, messageFor(i)) << i;
  }
}

// A list's storage goes back to the allocator when it goes. Measured after
// two lists, past the allocator's own bookkeeping of its first big ones.
TEST(EventList, GivesItsStorageBackWhenItGoes) {
  const auto fill = [] {
    EventList list;
    for (int i = 0; i < 20'000; ++i) list.append(make(1, std::string(200, 'x')));
  };
  // Under a sanitizer mallinfo2 sees nothing; its leak checker speaks there.
  const auto inUse = [] { return ::mallinfo2().uordblks; };
  fill(), fill();
  const auto before = inUse();
  fill();
  EXPECT_EQ(inUse(), before);
}

// The words of a field of the placement table.
std::vector<std::string> wordsOf(const std::string& field) {
  std::istringstream in(field);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Events that arrive late are placed where their times belong, after every
// event of the same time; only the part from the first moved event changes,
// and a copy that shares the storage (a recorded session) never sees it.
TEST(EventList, LateEventsArePlacedByTimeWithoutDisturbingACopy) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/placement.tsv")) {
    SCOPED_TRACE(c[0] + " | " + c[1]);
    EventList list;
    std::uint8_t n = 0;
    for (const auto& t : wordsOf(c[0])) list.append(idOf(++n), std::stod(t), EventType::info, "CONSOLE", t, false);
    const EventList recorded = list;
    const auto before = messages(list);
    const std::size_t firstNew = list.size();
    for (const auto& t : wordsOf(c[1])) list.append(idOf(++n), std::stod(t), EventType::info, "CONSOLE", t + "+", false);
    EXPECT_EQ(list.placeByTime(firstNew), std::stoul(c[3]));
    EXPECT_EQ(messages(list), wordsOf(c[2]));
    EXPECT_EQ(messages(recorded), before);
    EXPECT_EQ(list.placeByTime(list.size()), list.size()) << "nothing new, nothing moves";
  }

  // Across the seam between storage pieces, and with a copy that ends
  // before the moved part (no private copy is needed then).
  EventList list;
  for (int i = 0; i < 5000; ++i) list.append(idOf(1), i, EventType::info, "CONSOLE", std::to_string(i), false);
  EventList recorded = list;
  const std::size_t firstNew = list.size();
  list.append(idOf(2), 4090.5, EventType::error, "CRASH", "late", false);
  EXPECT_EQ(list.placeByTime(firstNew), 4091u);
  EXPECT_EQ(list.at(4091), (MarrowfieldEvent{idOf(2), 4090.5, EventType::error, "CRASH", "late", false}));
  for (int i = 4000; i <= 5000; ++i) ASSERT_EQ(list[i].message, i == 4091 ? "late" : std::to_string(i < 4091 ? i : i - 1)) << i;
  EXPECT_EQ(recorded[4091].message, "4091");
  recorded = EventList();
  const std::size_t next = list.size();
  list.append(idOf(3), 4999.5, EventType::info, "CONSOLE", "later", false);
  list.append(idOf(4), 10, EventType::info, "CONSOLE", "much later", false);
  EXPECT_EQ(list.placeByTime(next), 11u);
  EXPECT_EQ(list[11].message, "much later");
  EXPECT_EQ(list[5002].message, "later");
}

// formatTime converted any finite double to time_t, which is undefined for a
// value time_t cannot hold (fuzz_summary, UBSan: "-3.4436e+299 is outside the
// range of representable values of type 'long'"). Such a time now reads as
// the epoch, like NaN. The undefined conversion shows under the sanitizer
// build (make sanitizers); here the results are pinned.

TEST(FormatTimeBeyondTimeT, ReadsAsTheEpochInsteadOfConvertingOutOfRange) {
  const std::string epoch = formatTime(0.0);
  for (double t : {1e300, -3.4436e299, 9.3e18, -9.3e18, std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::lowest(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), std::nan("")}) { EXPECT_EQ(formatTime(t), epoch) << t; }
  // The largest times that do fit still go through the clock: the result is
  // a time of day or the placeholder when the year is beyond the calendar.
  for (double t : {9.2e18, -9.2e18}) EXPECT_TRUE(std::regex_match(formatTime(t), std::regex("..:..:.."))) << t;
}

}  // namespace
}  // namespace mf
