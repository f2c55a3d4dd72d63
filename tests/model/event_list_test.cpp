// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/event_list.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(EventList, StoresEveryFieldAndRoundTripsThroughVectors) {
  std::vector<MarrowfieldEvent> original{
      make(1, "first", "LOG", EventType::info),
      make(2, "", "PROCESS", EventType::success),  // empty message
      make(3, "error: disk", "FILE", EventType::error, true),
      make(4, "warning: x", "", EventType::warning),  // empty source
  };
  EventList list = EventList::fromVector(original);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list.toVector(), original);
  EXPECT_EQ(list.at(2), original[2]);
  EXPECT_EQ(*list[0].id, idOf(1));
  EXPECT_EQ(list[1].message, "");
  EXPECT_EQ(list[2].source, "FILE");
  EXPECT_TRUE(list[2].isRoutineNoise);
  EXPECT_EQ(list[3].type, EventType::warning);
  EXPECT_THROW(list.at(4), std::out_of_range);
  EXPECT_TRUE(EventList::fromVector({}).empty());
}

TEST(EventList, CopiesAreIndependentValuesWhicheverSideAppends) {
  EventList a;
  a.append(make(1, "one"));
  a.append(make(2, "two"));

  EventList b = a;  // shares storage
  a.append(make(3, "a-three"));
  b.append(make(4, "b-three"));  // must not see a's third event, nor disturb it
  EXPECT_EQ(messages(a), (std::vector<std::string>{"one", "two", "a-three"}));
  EXPECT_EQ(messages(b), (std::vector<std::string>{"one", "two", "b-three"}));

  // The other order: the copy appends first, then the original.
  EventList c = a;
  c.append(make(5, "c-four"));
  a.append(make(6, "a-four"));
  EXPECT_EQ(messages(c), (std::vector<std::string>{"one", "two", "a-three", "c-four"}));
  EXPECT_EQ(messages(a), (std::vector<std::string>{"one", "two", "a-three", "a-four"}));

  // Views into a list stay valid while a copy keeps the storage alive.
  EventList snapshot = a;
  const EventView view = snapshot[3];
  a.clear();
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(view.message, "a-four");
  EXPECT_EQ(snapshot.size(), 4u);
  a.append(make(7, "fresh"));
  EXPECT_EQ(messages(a), (std::vector<std::string>{"fresh"}));
  EXPECT_EQ(snapshot.size(), 4u);

  // Assignment and moves.
  EventList d;
  d = snapshot;
  EventList moved = std::move(d);
  EXPECT_EQ(moved.size(), 4u);
  EXPECT_TRUE(d.empty());  // NOLINT(bugprone-use-after-move): a moved-from list stays usable
  d.append(make(8, "after move"));
  EXPECT_EQ(messages(d), (std::vector<std::string>{"after move"}));
  EXPECT_EQ(moved.size(), 4u);
}

TEST(EventList, HugeMessagesAndNonAsciiFolding) {
  EventList list;
  const std::string huge(3u << 20, 'h');  // larger than a text block
  list.append(make(1, "small before"));
  list.append(make(2, huge));
  list.append(make(3, "small after"));
  EXPECT_EQ(list[1].message.size(), huge.size());
  EXPECT_EQ(list[1].message, huge);
  EXPECT_EQ(list[0].message, "small before");
  EXPECT_EQ(list[2].message, "small after");

  list.append(make(4, "Straße ÖL"));
  EXPECT_EQ(list[3].message, "Straße ÖL");
  EXPECT_EQ(list[3].foldedMessage, foldForSearch("Straße ÖL"));
  EXPECT_FALSE(list[3].foldedMessage.empty());
  EXPECT_TRUE(list[0].foldedMessage.empty());  // ASCII keeps no folded copy
  // A private copy (copy on write) keeps messages and folds intact.
  EventList copy = list;
  list.append(make(6, "only in the original"));
  copy.append(make(7, "only in the copy"));
  EXPECT_EQ(copy[3].foldedMessage, foldForSearch("Straße ÖL"));
  EXPECT_EQ(copy[1].message, huge);
  EXPECT_EQ(copy[4].message, "only in the copy");
  EXPECT_EQ(list[4].message, "only in the original");
  // Invalid UTF-8 is stored byte for byte.
  const std::string invalid = "bad \xff\xfe bytes";
  list.append(make(5, invalid));
  EXPECT_EQ(list[5].message, invalid);
}

TEST(EventList, IndexOfFindsTheFirstMatchInTheWholeList) {
  EventList list;
  list.append(make(1, "a"));
  list.append(make(2, "b"));
  list.append(make(2, "b again"));
  EXPECT_EQ(list.indexOf(idOf(2)), 1u);
  EXPECT_EQ(list.indexOf(idOf(1)), 0u);
  EXPECT_EQ(list.indexOf(idOf(9)), std::nullopt);
  EventList prefix = list;
  list.append(make(9, "only in the longer list"));
  EXPECT_EQ(list.indexOf(idOf(9)), 3u);
  EXPECT_EQ(prefix.indexOf(idOf(9)), std::nullopt);  // shares storage, yet ends before it
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
  ASSERT_EQ(list.size(), kCount);
  // A copy (what a recorded session keeps) shares the storage: the list goes
  // on appending in place, with no second copy of the events.
  const EventList session = list;
  const std::size_t before = list.storageBytes();
  for (int i = 0; i < 300; ++i) list.append(idOf(1), kCount, EventType::info, "S" + std::to_string(i), "late", false);
  EXPECT_LT(list.storageBytes(), before + (std::size_t{4} << 20));
  EXPECT_EQ(list[kCount + 299].source, "S299") << "many sources stay distinct";
  for (std::size_t i = 0; i < kCount; ++i) {
    const EventView event = list[i];
    ASSERT_EQ(event.time, static_cast<double>(i)) << i;
    ASSERT_EQ(*event.id, idOf(static_cast<std::uint8_t>(i))) << i;
    ASSERT_EQ(event.isRoutineNoise, i % 2 == 0) << i;
    ASSERT_EQ(event.message, messageFor(i)) << i;
    ASSERT_EQ(session[i].message, event.message) << i;
  }
}

struct PlacementCase {
  std::vector<double> earlier;  // in order of time
  std::vector<double> added;    // in order of arrival
  std::vector<std::string> expected;
  std::size_t firstChanged;
};

// Events named by their time, the added ones with a "+" (so events of one
// time can be told apart).
std::string nameOf(double time, bool added) {
  std::string name = std::to_string(time);
  name.erase(name.find_last_not_of('0') + 1);
  if (name.back() == '.') name.pop_back();
  return added ? name + "+" : name;
}

// Events that arrive late are placed where their times belong, after every
// event of the same time; only the part from the first moved event changes,
// and a copy that shares the storage (a recorded session) never sees it.
TEST(EventList, LateEventsArePlacedByTimeWithoutDisturbingACopy) {
  const std::vector<PlacementCase> cases = {
      {{1, 2, 3}, {4}, {"1", "2", "3", "4+"}, 4},
      {{1, 2, 3}, {2.5}, {"1", "2", "2.5+", "3"}, 2},
      {{1, 2, 2, 3}, {2}, {"1", "2", "2", "2+", "3"}, 3},
      {{1, 3}, {5, 2}, {"1", "2+", "3", "5+"}, 1},
      {{1, 2}, {3, 2.5}, {"1", "2", "2.5+", "3+"}, 2},
      {{1}, {2, 3, 1.5}, {"1", "1.5+", "2+", "3+"}, 1},
      {{1}, {1, 2, 1}, {"1", "1+", "1+", "2+"}, 2},
      {{5}, {1}, {"1+", "5"}, 0},
      {{}, {3, 1, 2}, {"1+", "2+", "3+"}, 0},
  };
  for (const auto& c : cases) {
    EventList list;
    std::uint8_t n = 0;
    for (double t : c.earlier) list.append(idOf(++n), t, EventType::info, "CONSOLE", nameOf(t, false), false);
    const EventList recorded = list;
    const auto before = messages(list);
    const std::size_t firstNew = list.size();
    for (double t : c.added) list.append(idOf(++n), t, EventType::info, "CONSOLE", nameOf(t, true), false);
    const std::size_t expectedFirst = c.firstChanged == c.expected.size() ? list.size() : c.firstChanged;
    EXPECT_EQ(list.placeByTime(firstNew), expectedFirst) << c.expected[0];
    EXPECT_EQ(messages(list), c.expected);
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
  EXPECT_EQ(list[4091].message, "late");
  EXPECT_EQ(list[4091].type, EventType::error);
  EXPECT_EQ(list[4092].message, "4091");
  EXPECT_EQ(list[5000].message, "4999");
  EXPECT_EQ(recorded[4091].message, "4091");
  recorded = EventList();
  const std::size_t next = list.size();
  list.append(idOf(3), 4999.5, EventType::info, "CONSOLE", "later", false);
  list.append(idOf(4), 10, EventType::info, "CONSOLE", "much later", false);
  EXPECT_EQ(list.placeByTime(next), 11u);
  EXPECT_EQ(list[11].message, "much later");
  EXPECT_EQ(list[5002].message, "later");
}

}  // namespace
}  // namespace mf
