// SPDX-License-Identifier: GPL-3.0-or-later
// Traces in a row through ContentView and the real platform (journald,
// journalctl, posix_spawn, pidfds): whatever one trace takes, it gives back,
// and the history keeps memory at eight sessions' worth. Measured between a
// window whose history is full and the same window eight traces later, so a
// descriptor, thread, child or session's memory kept per trace shows as
// growth eight times over; and again once the window is closed.

#include <gtest/gtest.h>

#include <cstdio>
#include <malloc.h>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::waitFor;
using testing::Window;

// Under a sanitizer the allocator is the sanitizer's, whose bookkeeping
// mallinfo2 does not see (the leak checker speaks for that there).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMallinfoSeesTheHeap = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMallinfoSeesTheHeap = false;
#else
constexpr bool kMallinfoSeesTheHeap = true;
#endif
#else
constexpr bool kMallinfoSeesTheHeap = true;
#endif

constexpr int kHistory = 8;  // sessions a window keeps

struct Holdings {
  std::size_t descriptors;
  std::size_t threads;
  std::size_t heapBytes;     // in use, as the allocator counts it
  std::size_t storageBytes;  // the live list and every session's list
};

// Children of ours other than the journald the fixture may have started.
std::size_t tracingChildren() {
  std::size_t count = 0;
  for (const auto& child : testing::childProcesses()) count += child.name != "systemd-journal";
  return count;
}

TEST(Soak, TracesInARowLeakNoDescriptorsThreadsChildrenOrMemory) {
  testing::TempDir dir;
  const auto demo = testing::demoEntry(dir, "");
  auto trace = [&](Window& window) {
    window.view.startTrace();
    // The whole story, so every trace holds the same events.
    return window.runUntil([&] {
      return window.ended() && window.find("Ready for work") && window.find("error: failed to connect");
    });
  };
  // Lingering streams end by themselves; the watcher reaps every target.
  auto holdings = [&](Window& window) {
    EXPECT_TRUE(waitFor([&] { return window.platform.logStreams.lingeringStreams() == 0; }));
    EXPECT_TRUE(waitFor([] { return ChildWatcher::shared().liveChildren() == 0; }));
    EXPECT_TRUE(waitFor([] { return tracingChildren() == 0; }));
    window.queue.drain();
    std::size_t storage = window.view.events().storageBytes();
    for (const auto& session : window.view.sessions()) storage += session.events.storageBytes();
    return Holdings{testing::openDescriptorCount(), testing::threadCount(), mallinfo2().uordblks, storage};
  };
  {
    // Warm-up: the process-wide watcher thread and the like start here.
    Window warmUp;
    warmUp.choose(demo.entry);
    ASSERT_TRUE(trace(warmUp)) << warmUp.dump();
    holdings(warmUp);
  }
  const std::size_t descriptorsBefore = testing::openDescriptorCount();
  const std::size_t threadsBefore = testing::threadCount();
  Holdings full{};
  Holdings later{};
  {
    Window window;
    window.choose(demo.entry);
    for (int i = 1; i <= 2 * kHistory; ++i) {
      ASSERT_TRUE(trace(window)) << "trace " << i << "\n" << window.dump();
      ASSERT_EQ(window.count(" terminated"), 1u) << window.dump();
      if (i == kHistory) full = holdings(window);
    }
    later = holdings(window);
    EXPECT_EQ(window.view.sessions().size(), static_cast<std::size_t>(kHistory));
    // A stream that ended keeps its two descriptors until the launcher next
    // prunes its set (at the next trace): the same one or two at both points.
    EXPECT_LE(later.descriptors, full.descriptors + 2);
    EXPECT_EQ(later.threads, full.threads);
    // Sessions beyond eight are gone with their events.
    EXPECT_LT(later.storageBytes, full.storageBytes * 5 / 4);
    // One session's events are hundreds of KiB: eight of them kept would be
    // megabytes more in use.
    if (kMallinfoSeesTheHeap) {
      EXPECT_LT(later.heapBytes, full.heapBytes + (1u << 20));
    }
  }
  // The window is closed: every descriptor and thread is back, no child is left.
  EXPECT_EQ(testing::openDescriptorCount(), descriptorsBefore);
  EXPECT_EQ(testing::threadCount(), threadsBefore);
  EXPECT_EQ(tracingChildren(), 0u);
  EXPECT_TRUE(testing::zombieChildren().empty());
  std::printf("[ measured ] after %d traces / %d: fds %zu / %zu, threads %zu / %zu, heap in use %zu / %zu KiB, "
              "storage %zu / %zu B\n",
              kHistory, 2 * kHistory, full.descriptors, later.descriptors, full.threads, later.threads,
              full.heapBytes / 1024, later.heapBytes / 1024, full.storageBytes, later.storageBytes);
}

}  // namespace
}  // namespace mf
