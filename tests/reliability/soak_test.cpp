// SPDX-License-Identifier: GPL-3.0-or-later
// Traces in a row through ContentView and the real platform (journald,
// journalctl, posix_spawn, pidfds): whatever one trace takes, it gives back,
// and the history keeps memory at eight sessions' worth. Measured between a
// window whose history is full and the same window eight traces later, so a
// descriptor, thread, child or session's memory kept per trace shows as
// growth eight times over; and again once the window is closed.

#include <gtest/gtest.h>

#include <malloc.h>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

constexpr int kHistory = 8;  // sessions a window keeps

struct Holdings {
  std::size_t descriptors = testing::openDescriptorCount();
  std::size_t threads = testing::threadCount();
  std::size_t heapBytes = mallinfo2().uordblks;  // in use, as the allocator counts it
};

// Our children other than the journald the fixture may have started.
bool noTracingChildren() {
  for (const auto& child : testing::childProcesses()) if (child.name != "systemd-journal") return false;
  return true;
}

TEST(Soak, TracesInARowLeakNoDescriptorsThreadsChildrenOrMemory) {
  testing::TempDir dir;
  const auto demo = testing::demoEntry(dir, "");
  // The whole story each time, so every trace holds the same events; then
  // lingering streams end by themselves and the watcher reaps every target.
  const auto traceAndSettle = [&](testing::Window& window) {
    window.view.startTrace();
    EXPECT_TRUE(window.runUntil([&] {
      return window.ended() && window.find("Ready for work") && window.find("error: failed to connect");
    })) << window.dump();
    EXPECT_TRUE(testing::waitFor([&] {
      return window.platform.logStreams.lingeringStreams() == 0 && ChildWatcher::shared().liveChildren() == 0 &&
             noTracingChildren();
    }));
    window.queue.drain();
    return Holdings{};
  };
  {
    // Warm-up: the process-wide watcher thread and the like start here.
    testing::Window warmUp;
    warmUp.choose(demo.entry);
    traceAndSettle(warmUp);
  }
  const Holdings before;
  Holdings full;
  Holdings later;
  {
    testing::Window window;
    window.choose(demo.entry);
    for (int i = 1; i <= 2 * kHistory; ++i) {
      later = traceAndSettle(window);
      if (i == kHistory) full = later;
    }
    EXPECT_EQ(window.view.sessions().size(), static_cast<std::size_t>(kHistory));
    // A stream that ended keeps its two descriptors until the launcher next
    // prunes its set (at the next trace): the same one or two at both points.
    EXPECT_LE(later.descriptors, full.descriptors + 2);
    EXPECT_EQ(later.threads, full.threads);
    // One session's events are hundreds of KiB: eight of them kept would be
    // megabytes more in use. (Under a sanitizer the allocator is the
    // sanitizer's, which mallinfo2 does not see: its leak checker speaks.)
    EXPECT_LT(later.heapBytes, full.heapBytes + (1u << 20));
  }
  // The window is closed: every descriptor and thread is back, no child is left.
  const Holdings after;
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_TRUE(noTracingChildren());
  EXPECT_TRUE(testing::zombieChildren().empty());
}

}  // namespace
}  // namespace mf
