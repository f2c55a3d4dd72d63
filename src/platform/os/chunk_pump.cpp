// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/chunk_pump.h"

#include <cerrno>
#include <string_view>
#include <utility>

#include "platform/system_calls.h"
#include "platform/system_clock.h"

namespace mf {

ChunkPump::ChunkPump(LineBatcher batcher) : batcher_(std::move(batcher)) { buffer_.resize(kChunkSize); }

ChunkPump::Result ChunkPump::pumpOnce(int fd) {
  if (batcher_.finished()) return Result::ended;
  const auto got = os::readSome(fd, buffer_.data(), buffer_.size());
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Result::wouldBlock;
  if (got <= 0) {
    finish();
    return Result::ended;
  }
  batcher_.feed(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), wallClockNow());
  return Result::more;
}

void ChunkPump::finish() { batcher_.finish(wallClockNow()); }

void ChunkPump::flushPendingLine() { batcher_.flushPendingLine(wallClockNow()); }

}  // namespace mf
