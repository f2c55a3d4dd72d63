// SPDX-License-Identifier: GPL-3.0-or-later
// The log-stream reader with any child process, the chunk pump on a real
// pipe, the headless main queue and the id source: no journal needed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "platform/chunk_pump.h"
#include "platform/event_loop_main_queue.h"
#include "platform/log_stream.h"
#include "platform/posix_io.h"
#include "platform/system_clock.h"
#include "platform_test_support.h"

namespace mf {
namespace {

using testing::LineCollector;
using testing::waitFor;

ArmResult startShell(const std::string& script, LineBatchSink sink) {
  return startLineStream({"/bin/sh", "-c", script}, std::move(sink));
}

TEST(LineStream, LinesAndCharactersCutAcrossReadsArriveWhole) {
  LineCollector lines;
  // Each printf is its own write; the sleeps make them separate reads.
  // "\303\251" is é, cut between its two bytes; \377 is not UTF-8 at all;
  // a NUL byte is a byte of its line.
  auto result = startShell(
      "printf 'first li'; sleep 0.1; printf 'ne\\nsecond caf\\303'; sleep 0.1; printf '\\251\\n'; "
      "sleep 0.1; printf 'bad \\377 byte\\r\\nnul \\000 byte\\nx\\n\\n\\ny'; echo ' to stderr' >&2",
      lines.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;
  ASSERT_TRUE(waitFor([&] { return !result.process->isRunning() && lines.lines().size() >= 6; }));
  // The last line has no newline: it arrives at end of stream.
  EXPECT_EQ(lines.lines(), (std::vector<std::string>{"first line", "second caf\xC3\xA9", "bad \xEF\xBF\xBD byte",
                                                     std::string("nul \0 byte", 10), "x", "y to stderr"}));
}

TEST(LineStream, QuietCallbackComesAfterTheLinesStillOnTheirWay) {
  // The trace holds a target's exit back until the stream goes quiet, so the
  // lines the journal forwards late are delivered first.
  std::mutex mutex;
  std::vector<std::string> seen;
  auto result = startShell("echo one; sleep 0.2; echo two; sleep 0.2; echo three; exec sleep 30",
                           [&](LineBatch batch) {
                             std::lock_guard lock(mutex);
                             for (std::size_t i = 0; i < batch.size(); ++i) seen.emplace_back(batch[i]);
                           });
  ASSERT_TRUE(result.process) << result.errorDescription;
  std::atomic<bool> quiet{false};
  result.process->notifyWhenQuiet([&] {
    std::lock_guard lock(mutex);
    seen.emplace_back("<quiet>");
    quiet = true;
  });
  ASSERT_TRUE(waitFor([&] { return quiet.load(); }));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three", "<quiet>"}));
  }
  EXPECT_TRUE(result.process->isRunning()) << "being quiet does not end the stream";

  // Once the stream has ended there is nothing left to wait for.
  result.process->terminate();
  ASSERT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
  std::atomic<bool> calledAtOnce{false};
  auto ended = startShell("echo gone", [](LineBatch) {});
  ASSERT_TRUE(ended.process);
  ASSERT_TRUE(waitFor([&] { return !ended.process->isRunning(); }));
  ended.process->notifyWhenQuiet([&] { calledAtOnce = true; });
  EXPECT_TRUE(waitFor([&] { return calledAtOnce.load(); }));
}

TEST(LineStream, EndsCleanlyWhenTheChildDiesOrIsTerminated) {
  {
    LineCollector lines;
    auto result = startShell("echo started; exec sleep 30", lines.sink());
    ASSERT_TRUE(result.process);
    ASSERT_TRUE(waitFor([&] { return lines.contains("started"); }));
    EXPECT_TRUE(result.process->isRunning());
    result.process->terminate();
    EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
    result.process->terminate();  // already gone: a no-op
  }
  {
    // A child that ignores SIGTERM and a grandchild holding the pipe: the
    // destructor still returns promptly and leaves no zombie.
    LineCollector lines;
    auto result = startShell("trap '' TERM; echo ready; sleep 30 & sleep 30", lines.sink());
    ASSERT_TRUE(result.process);
    ASSERT_TRUE(waitFor([&] { return lines.contains("ready"); }));
    // Both sleep 30 s: a destructor that waited for them would miss the deadline.
    auto destroyed = std::async(std::launch::async, [&] { result.process.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
}

TEST(LineStream, AChildThatEndsOnItsOwnIsReportedAfterItsLinesAndOnlyThen) {
  // The reason comes after every line the child wrote, whether the callback
  // was registered before the end or after it.
  auto watch = [](const std::string& script, bool registerLate) {
    LineCollector seen;
    auto result = startShell(script, seen.sink());
    EXPECT_TRUE(result.process) << result.errorDescription;
    auto registerEnd = [&, sink = seen.sink()] {
      result.process->notifyOnUnexpectedEnd([sink](std::string reason) { sink(LineBatch::of({"<" + reason + ">"})); });
    };
    if (!registerLate) registerEnd();
    EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
    if (registerLate) registerEnd();
    EXPECT_TRUE(waitFor([&] { return !seen.lines().empty() && seen.lines().back().front() == '<'; }));
    return seen.lines();
  };
  EXPECT_EQ(watch("echo no permission; exit 1", false),
            (std::vector<std::string>{"no permission", "<sh exited with status 1>"}));
  EXPECT_EQ(watch("echo bye; kill -9 $$", false), (std::vector<std::string>{"bye", "<sh was killed by signal 9 (SIGKILL)>"}));
  EXPECT_EQ(watch("printf 'cut short'", true), (std::vector<std::string>{"cut short", "<sh exited with status 0>"}));

  // Asked to end (terminate, destruction): nothing is reported.
  std::atomic<int> reports{0};
  {
    LineCollector lines;
    auto result = startShell("echo up; exec sleep 30", lines.sink());
    result.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
    ASSERT_TRUE(waitFor([&] { return lines.contains("up"); }));
    result.process->terminate();
    ASSERT_TRUE(waitFor([&] { return !result.process->isRunning(); }, 5));
    result.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
    auto destroyed = startShell("exec sleep 30", [](LineBatch) {});
    destroyed.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
  }
  EXPECT_EQ(reports.load(), 0);
}

TEST(LineStream, TerminateLingersForLateLinesThenEnds) {
  // journald hands lines on late; a stream asked to end keeps reading while
  // output still comes, so a crashing target's last words are not cut off.
  auto lingering = std::make_shared<LingeringStreams>();
  LineCollector lines;
  auto result = startLineStream({"/bin/sh", "-c", "echo ready; sleep 0.3; echo late; exec sleep 30"}, lines.sink(),
                                lingering);
  ASSERT_TRUE(result.process);
  ASSERT_TRUE(waitFor([&] { return lines.contains("ready"); }));
  result.process->terminate();
  EXPECT_TRUE(result.process->isRunning());
  EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }, 5));
  EXPECT_TRUE(lines.contains("late"));

  // Handed to the lingering set on destruction, which ends it when it goes.
  LineCollector second;
  auto other = startLineStream({"/bin/sh", "-c", "echo one; exec sleep 30"}, second.sink(), lingering);
  ASSERT_TRUE(waitFor([&] { return second.contains("one"); }));
  other.process.reset();
  EXPECT_EQ(lingering->size(), 1u);
  auto ended = std::async(std::launch::async, [&] { lingering.reset(); });
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(testing::zombieChildren().empty());
}

TEST(LineStream, SpawnFailureIsAReadableReasonAndNothingLeaks) {
  const auto descriptors = testing::openDescriptorCount();
  auto missing = startLineStream({"/nonexistent/journalctl"}, nullptr);
  EXPECT_FALSE(missing.process);
  EXPECT_EQ(missing.errorDescription, "No such file or directory");
  auto notOnPath = startLineStream({"marrowfield-no-such-tool"}, nullptr);
  EXPECT_EQ(notOnPath.errorDescription, "No such file or directory");
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);

  for (int i = 0; i < 20; ++i) {
    LineCollector lines;
    auto result = startShell("echo $$", lines.sink());
    ASSERT_TRUE(result.process);
    ASSERT_TRUE(waitFor([&] { return !lines.lines().empty() && !result.process->isRunning(); }));
  }
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
  EXPECT_TRUE(testing::zombieChildren().empty());
}

TEST(LineStream, ChildStartsWithDefaultSignalsAndOnlyStandardDescriptors) {
  // We ignore SIGPIPE like a GUI would; the child must not inherit that.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  LineCollector lines;
  auto result = startShell("grep -E '^Sig(Ign|Blk)' /proc/self/status; ls /proc/self/fd | wc -l; "
                           "cat /proc/self/cmdline | tr '\\0' ' '",
                           lines.sink());
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(result.process);
  ASSERT_TRUE(waitFor([&] { return lines.lines().size() >= 4 && !result.process->isRunning(); }));
  const auto got = lines.lines();
  // Only the standard signals: glibc keeps its two internal real-time
  // signals ignored across posix_spawn when the parent handles them.
  auto standardSignals = [](const std::string& line) {
    return std::stoull(line.substr(line.find('\t') + 1), nullptr, 16) & 0x7fffffffULL;  // signals 1 to 31
  };
  EXPECT_EQ(standardSignals(got.at(0)), 0u) << got.at(0);
  EXPECT_EQ(standardSignals(got.at(1)), 0u) << got.at(1);
  EXPECT_EQ(got.at(2), "4");  // 0, 1, 2 and the one ls opens
}

TEST(EventLoopMainQueue, RunsPostsInOrderOnTheMainThreadUntilTheDeadline) {
  EventLoopMainQueue queue;
  std::vector<int> order;
  std::atomic<bool> wrongThread{false};
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        if (!queue.isMainThread()) wrongThread = true;
        order.push_back(i);
      });
    }
  });
  EXPECT_TRUE(queue.runUntil([&] { return order.size() == 100; }, 10));
  poster.join();
  EXPECT_FALSE(wrongThread);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);

  queue.post([&] { order.push_back(100); });
  queue.wait(0.05);  // runs the post, then waits out the time
  EXPECT_EQ(order.back(), 100);
}

TEST(RandomIdSource, VersionFourAndUnique) {
  RandomIdSource ids;
  std::set<Uuid> seen;
  for (int i = 0; i < 5000; ++i) {  // crosses several 4 KiB refills
    const Uuid id = ids.next();
    EXPECT_EQ(id.bytes[6] >> 4, 4);
    EXPECT_EQ(id.bytes[8] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(id).second);
  }
}

// The reader's hand-over on a real pipe: a chunk of very short lines reaches
// the sink in runs of at most kMaxBatchLines, in order, none lost or doubled.
TEST(ChunkPump, ChunksOfShortLinesArriveInBoundedBatchesInOrder) {
  constexpr int kLines = 200'000;  // "1\n" .. "200000\n": up to 30,000 lines a chunk
  auto pipe = posix::makePipe();
  // The writer closes its end when done, so the reader sees the end of stream.
  std::thread writer([end = std::move(pipe.writeEnd)]() mutable {
    const int fd = end.get();
    std::string text;
    for (int i = 1; i <= kLines; ++i) text += std::to_string(i) + "\n";
    std::string_view rest = text;
    while (!rest.empty()) {
      const auto wrote = posix::retryOnEintr([&] { return ::write(fd, rest.data(), rest.size()); });
      if (wrote <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    end.reset();
  });

  std::vector<std::string> lines;
  std::size_t largest = 0;
  std::size_t batches = 0;
  ChunkPump pump([&](LineBatch batch) {
    ++batches;
    largest = std::max(largest, batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  });
  std::size_t reads = 0;
  do {
    ++reads;
  } while (pump.pumpOnce(pipe.readEnd.get()) != ChunkPump::Result::ended);
  writer.join();

  EXPECT_LE(largest, ChunkPump::kMaxBatchLines);
  EXPECT_GT(batches, reads / 2);  // full chunks were cut into several batches
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
  for (int i = 1; i <= kLines; ++i) ASSERT_EQ(lines[static_cast<std::size_t>(i - 1)], std::to_string(i)) << i;
}

}  // namespace
}  // namespace mf
