// SPDX-License-Identifier: GPL-3.0-or-later
// A hundred traces in a row through ContentView and the real platform
// (journald, journalctl, posix_spawn, pidfds): whatever one trace takes, it
// gives back, and the history keeps memory at eight sessions' worth.

#include <gtest/gtest.h>

#include <cstdio>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "reliability_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using reliability::Window;
using testing::waitFor;

// Under a sanitizer freed memory sits in a quarantine or beside shadow
// memory, so resident size says nothing about what the program still holds
// (the leak checker speaks for that there).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeMeansHeld = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeMeansHeld = false;
#else
constexpr bool kResidentSizeMeansHeld = true;
#endif
#else
constexpr bool kResidentSizeMeansHeld = true;
#endif

struct Holdings {
  std::size_t descriptors;
  std::size_t threads;
  std::size_t residentBytes;
  std::size_t storageBytes;  // the live list and every session's list
};

// Children of ours other than the journald the fixture may have started.
std::size_t tracingChildren() {
  std::size_t count = 0;
  for (const auto& child : reliability::childProcesses()) {
    if (child.name != "systemd-journal") ++count;
  }
  return count;
}

TEST(Soak, AHundredTracesLeakNoDescriptorsThreadsChildrenOrMemory) {
  testing::TempDir dir;
  const auto link = testing::privateDemo(dir, "soak");
  const std::string name = link.filename();
  const auto entry = testing::writeDemoDesktopEntry(dir, name, link, "--bundle-id " + name);

  auto trace = [&](Window& window) {
    window.view.startTrace();
    // The whole story, so every trace holds the same events.
    return window.runUntil([&] {
      return window.view.status().kind == TraceStatus::Kind::processEnded && window.find("Ready for work") &&
             window.find("error: failed to connect");
    });
  };
  auto settle = [&](Window& window) {
    // Lingering streams end by themselves; the watcher reaps every target.
    EXPECT_TRUE(waitFor([&] { return window.platform.logStreams.lingeringStreams() == 0; }, 10));
    EXPECT_TRUE(waitFor([] { return ChildWatcher::shared().liveChildren() == 0; }, 10));
    EXPECT_TRUE(waitFor([] { return tracingChildren() == 0; }, 10));
    window.queue.inner.drain();
  };
  auto holdings = [&](Window& window) {
    std::size_t storage = window.view.events().storageBytes();
    for (const auto& session : window.view.sessions()) storage += session.events.storageBytes();
    return Holdings{testing::openDescriptorCount(), reliability::threadCount(), reliability::residentBytes(), storage};
  };

  {
    // Warm-up: the process-wide watcher thread and the like start here.
    Window warmUp;
    warmUp.choose(entry.string());
    ASSERT_TRUE(trace(warmUp)) << warmUp.dump();
    settle(warmUp);
  }
  const std::size_t descriptorsBefore = testing::openDescriptorCount();
  const std::size_t threadsBefore = reliability::threadCount();

  Holdings atEight{};
  Holdings atHundred{};
  {
    Window window;
    window.choose(entry.string());
    for (int i = 1; i <= 100; ++i) {
      ASSERT_TRUE(trace(window)) << "trace " << i << "\n" << window.dump();
      ASSERT_EQ(window.count(" terminated"), 1u) << window.dump();
      if (i == 8) {
        settle(window);
        atEight = holdings(window);
      }
    }
    settle(window);
    atHundred = holdings(window);
    EXPECT_EQ(window.view.sessions().size(), 8u);
    EXPECT_EQ(atHundred.threads, threadsBefore);
    // Streams that ended keep their two descriptors until the launcher next
    // prunes its set (at the next trace) or goes: as many as ended within
    // the last linger period, never more with every trace (a descriptor lost
    // per trace would be 92 more here than after eight).
    EXPECT_LE(atHundred.descriptors, descriptorsBefore + 24);
    // Sessions beyond eight are gone with their events: the storage after a
    // hundred traces is that of eight.
    EXPECT_LT(atHundred.storageBytes, atEight.storageBytes * 3 / 2);
    // Resident memory is noisy (allocator caches), but ninety-two forgotten
    // traces must not show up as growth beyond a few MiB.
    const auto growth =
        static_cast<long long>(atHundred.residentBytes) - static_cast<long long>(atEight.residentBytes);
    if (kResidentSizeMeansHeld) {
      EXPECT_LT(growth, 8ll * 1024 * 1024);
    }
  }
  // The window is closed: every descriptor and thread is back, no child is left.
  EXPECT_EQ(testing::openDescriptorCount(), descriptorsBefore);
  EXPECT_EQ(reliability::threadCount(), threadsBefore);
  EXPECT_EQ(tracingChildren(), 0u);
  EXPECT_TRUE(testing::zombieChildren().empty());
  std::printf("[ measured ] fds before %zu, after 8 traces %zu, after 100 %zu, after closing %zu; threads %zu -> %zu; "
              "storage after 8: %zu B, after 100: %zu B; RSS after 8: %zu KiB, after 100: %zu KiB\n",
              descriptorsBefore, atEight.descriptors, atHundred.descriptors, testing::openDescriptorCount(),
              threadsBefore, atHundred.threads, atEight.storageBytes, atHundred.storageBytes,
              atEight.residentBytes / 1024, atHundred.residentBytes / 1024);
}

}  // namespace
}  // namespace mf
