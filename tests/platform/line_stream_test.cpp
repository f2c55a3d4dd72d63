// SPDX-License-Identifier: GPL-3.0-or-later
// The log-stream reader with any child process, the chunk pump on a real
// pipe and the id source: no journal needed. (The headless main queue runs
// under every trace test.)

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>
#include <set>
#include <thread>

#include "platform/chunk_pump.h"
#include "platform/posix_io.h"
#include "platform_test_support.h"

namespace mf {
namespace {

using testing::LineCollector;
using testing::waitFor;
using Lines = std::vector<std::string>;

ArmResult startShell(const std::string& script, LineBatchSink sink,
                     std::shared_ptr<LingeringStreams> lingering = nullptr) {
  return startLineStream({"/bin/sh", "-c", script}, std::move(sink), std::move(lingering));
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
  EXPECT_EQ(lines.lines(), (Lines{"first line", "second caf\xC3\xA9", "bad \xEF\xBF\xBD byte",
                                  std::string("nul \0 byte", 10), "x", "y to stderr"}));
}

TEST(LineStream, QuietCallbackComesAfterTheLinesStillOnTheirWay) {
  // The trace holds a target's exit back until the stream goes quiet, so the
  // lines the journal forwards late are delivered first.
  LineCollector seen;
  auto result = startShell("echo one; sleep 0.2; echo two; sleep 0.2; echo three; exec sleep 30", seen.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;
  result.process->notifyWhenQuiet([sink = seen.sink()] { sink(LineBatch::of({"<quiet>"})); });
  ASSERT_TRUE(waitFor([&] { return seen.contains("<quiet>"); }));
  EXPECT_EQ(seen.lines(), (Lines{"one", "two", "three", "<quiet>"}));
  EXPECT_TRUE(result.process->isRunning()) << "being quiet does not end the stream";

  // Once the stream has ended there is nothing left to wait for.
  result.process->terminate();
  ASSERT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
  std::atomic<bool> calledAtOnce{false};
  result.process->notifyWhenQuiet([&] { calledAtOnce = true; });
  EXPECT_TRUE(waitFor([&] { return calledAtOnce.load(); }));
}

TEST(LineStream, AChildThatEndsOnItsOwnIsReportedAfterItsLinesAndOnlyThen) {
  // The reason comes after every line the child wrote, whether the callback
  // was registered before the end or after it.
  const struct {
    const char* script;
    bool registerLate;
    Lines expected;
  } cases[] = {
      {"echo no permission; exit 1", false, {"no permission", "<sh exited with status 1>"}},
      {"echo bye; kill -9 $$", false, {"bye", "<sh was killed by signal 9 (SIGKILL)>"}},
      {"printf 'cut short'", true, {"cut short", "<sh exited with status 0>"}},
  };
  for (const auto& c : cases) {
    LineCollector seen;
    auto result = startShell(c.script, seen.sink());
    ASSERT_TRUE(result.process) << result.errorDescription;
    auto registerEnd = [&] {
      result.process->notifyOnUnexpectedEnd([sink = seen.sink()](std::string reason) { sink(LineBatch::of({"<" + reason + ">"})); });
    };
    if (!c.registerLate) registerEnd();
    EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
    if (c.registerLate) registerEnd();
    EXPECT_TRUE(waitFor([&] { return seen.lines().size() == c.expected.size(); }));
    EXPECT_EQ(seen.lines(), c.expected);
  }

  // Asked to end (terminate, destruction): nothing is reported.
  std::atomic<int> reports{0};
  {
    LineCollector lines;
    auto terminated = startShell("echo up; exec sleep 30", lines.sink());
    auto destroyed = startShell("exec sleep 30", [](LineBatch) {});
    terminated.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
    destroyed.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
    ASSERT_TRUE(waitFor([&] { return lines.contains("up"); }));
    terminated.process->terminate();
    ASSERT_TRUE(waitFor([&] { return !terminated.process->isRunning(); }));
  }
  EXPECT_EQ(reports.load(), 0);
}

TEST(LineStream, TerminateLingersForLateLinesThenEndsAndNothingLeaks) {
  const auto descriptors = testing::openDescriptorCount();
  // A missing program is a readable reason, and takes nothing.
  for (const char* program : {"/nonexistent/journalctl", "marrowfield-no-such-tool"}) {
    const auto missing = startLineStream({program}, nullptr);
    EXPECT_FALSE(missing.process);
    EXPECT_EQ(missing.errorDescription, "No such file or directory");
  }
  // journald hands lines on late; a stream asked to end keeps reading while
  // output still comes, so a crashing target's last words are not cut off.
  auto lingering = std::make_shared<LingeringStreams>();
  LineCollector lines;
  auto result = startShell("echo ready; sleep 0.3; echo late; exec sleep 30", lines.sink(), lingering);
  ASSERT_TRUE(result.process);
  ASSERT_TRUE(waitFor([&] { return lines.contains("ready"); }));
  result.process->terminate();
  EXPECT_TRUE(result.process->isRunning());
  EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
  EXPECT_TRUE(lines.contains("late"));

  // Handed to the lingering set on destruction, which ends it when it goes:
  // promptly, though it ignores SIGTERM and a grandchild holds the pipe
  // (both sleep 30 s).
  LineCollector second;
  auto other = startShell("trap '' TERM; echo one; sleep 30 & sleep 30", second.sink(), lingering);
  ASSERT_TRUE(waitFor([&] { return second.contains("one"); }));
  other.process.reset();
  EXPECT_EQ(lingering->size(), 1u);
  auto ended = std::async(std::launch::async, [&] { lingering.reset(); });
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  result.process.reset();
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
}

TEST(LineStream, ChildStartsWithDefaultSignalsAndOnlyStandardDescriptors) {
  // We ignore SIGPIPE like a GUI would; the child must not inherit that.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  LineCollector lines;
  auto result = startShell("grep -E '^Sig(Ign|Blk)' /proc/self/status; ls /proc/self/fd | wc -l", lines.sink());
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(result.process);
  ASSERT_TRUE(waitFor([&] { return lines.lines().size() >= 3 && !result.process->isRunning(); }));
  const auto got = lines.lines();
  // Only the standard signals (1 to 31): glibc keeps its two internal
  // real-time signals ignored across posix_spawn when the parent handles them.
  for (const auto& line : {got.at(0), got.at(1)}) {
    EXPECT_EQ(std::stoull(line.substr(line.find('\t') + 1), nullptr, 16) & 0x7fffffffULL, 0u) << line;
  }
  EXPECT_EQ(got.at(2), "4");  // 0, 1, 2 and the one ls opens
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
  std::string text;
  for (int i = 1; i <= kLines; ++i) text += std::to_string(i) + "\n";
  auto pipe = posix::makePipe();
  // The writer closes its end when done, so the reader sees the end of stream.
  std::thread writer([end = std::move(pipe.writeEnd), rest = std::string_view(text)]() mutable {
    for (ssize_t wrote; !rest.empty() && (wrote = posix::retryOnEintr([&] { return ::write(end.get(), rest.data(), rest.size()); })) > 0;) {
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
  });
  std::vector<std::string> lines;
  std::size_t largest = 0;
  std::size_t batches = 0;
  ChunkPump pump([&](LineBatch batch) {
    ++batches;
    largest = std::max(largest, batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  });
  std::size_t reads = 1;
  while (pump.pumpOnce(pipe.readEnd.get()) != ChunkPump::Result::ended) ++reads;
  writer.join();
  EXPECT_LE(largest, ChunkPump::kMaxBatchLines);
  EXPECT_GT(batches, reads / 2);  // full chunks were cut into several batches
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
  for (int i = 1; i <= kLines; ++i) ASSERT_EQ(lines[static_cast<std::size_t>(i - 1)], std::to_string(i)) << i;
}

}  // namespace
}  // namespace mf
