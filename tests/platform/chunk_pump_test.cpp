// SPDX-License-Identifier: GPL-3.0-or-later
// The reads a descriptor may give besides plain data: interrupted, not
// ready yet, a few bytes at a time, an error. Real descriptors seldom fail
// on demand, so the read call is swapped for one that does.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/chunk_pump.h"
#include "platform/system_calls.h"

namespace mf {
namespace {

struct ReadStep {
  int error;  // 0: the bytes arrive
  std::string bytes;
};

std::vector<ReadStep> readSteps;
std::size_t nextStep = 0;

ssize_t scriptedRead(int, void* buffer, std::size_t size) {
  const ReadStep& step = readSteps.at(nextStep++);
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  const std::size_t n = std::min(size, step.bytes.size());
  std::memcpy(buffer, step.bytes.data(), n);
  return static_cast<ssize_t>(n);
}

TEST(ChunkPump, InterruptedShortAndFailedReadsLoseNothing) {
  using Result = ChunkPump::Result;
  readSteps = {{EINTR, ""},  {0, "par"},    {EAGAIN, ""}, {EINTR, ""}, {0, "tial\n"}, {0, "n\xC3"},
               {EAGAIN, ""}, {0, "\xA9\n"}, {0, "rest"},  {EAGAIN, ""}, {0, ""}};
  nextStep = 0;
  const os::ScopedReadCall fake(scriptedRead);
  std::vector<std::string> lines;
  ChunkPump pump(LineBatcher([&](LineBatch batch) {
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  }));
  std::vector<Result> results;
  while (results.empty() || results.back() != Result::ended) results.push_back(pump.pumpOnce(-1));
  // EINTR is retried where it happens; EAGAIN keeps the line begun; the end
  // (a pipe's, after an EAGAIN whose errno is still set; a terminal's EIO
  // ends every launch's stdout) ends the stream with what was pending.
  EXPECT_EQ(results, (std::vector<Result>{Result::more, Result::wouldBlock, Result::more, Result::more,
                                          Result::wouldBlock, Result::more, Result::more, Result::wouldBlock, Result::ended}));
  EXPECT_EQ(lines, (std::vector<std::string>{"partial", "n\xC3\xA9", "rest"}));
}

}  // namespace
}  // namespace mf
