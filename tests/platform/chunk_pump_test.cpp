// SPDX-License-Identifier: GPL-3.0-or-later
// The reader's hand-over on a real pipe: a chunk of very short lines reaches
// the sink in runs of at most kMaxBatchLines, in order, none lost or doubled.

#include "platform/chunk_pump.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/posix_io.h"

namespace mf {
namespace {

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
