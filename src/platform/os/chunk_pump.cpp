// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/chunk_pump.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "platform/system_calls.h"
#include "platform/system_clock.h"
#include "text/terminal_line.h"

namespace mf {

ChunkPump::ChunkPump(LineBatchSink sink) : ChunkPump(std::move(sink), LineSplitter(), false) {}

ChunkPump::ChunkPump(LineBatchSink sink, LineInfo info)
    : ChunkPump(std::move(sink), LineSplitter(LineSplitter::kDefaultMaxPendingLine, LineSplitter::Separators::all, info),
                false) {}

ChunkPump::ChunkPump(LineBatchSink sink, LineSplitter splitter, bool isTerminal)
    : sink_(std::move(sink)), splitter_(std::move(splitter)), isTerminal_(isTerminal) {
  buffer_.resize(kChunkSize);
}

ChunkPump ChunkPump::forTerminal(LineBatchSink sink, LineInfo info) {
  return ChunkPump(std::move(sink),
                   LineSplitter(LineSplitter::kDefaultMaxPendingLine, LineSplitter::Separators::terminal, info),
                   true);
}

ChunkPump::Result ChunkPump::pumpOnce(int fd) {
  if (finished_) return Result::ended;
  const auto got = os::readSome(fd, buffer_.data(), buffer_.size());
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Result::wouldBlock;
  if (got <= 0) {
    finish();
    return Result::ended;
  }
  LineBatch batch;
  splitter_.feed(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), batch);
  deliver(std::move(batch));
  return Result::more;
}

void ChunkPump::finish() {
  if (finished_) return;
  finished_ = true;
  LineBatch batch;
  splitter_.finish(batch);
  deliver(std::move(batch));
}

void ChunkPump::flushPendingLine() {
  if (finished_) return;
  LineBatch batch;
  splitter_.flushPendingLine(batch);
  deliver(std::move(batch));
}

void ChunkPump::deliver(LineBatch batch) {
  if (batch.empty() || !sink_) return;
  // A line was written at the latest when it was read; the trace orders
  // lines of all its roads by that time.
  batch.stampTimes(wallClockNow());
  bool needsRendering = false;
  for (std::size_t i = 0; isTerminal_ && i < batch.size() && !needsRendering; ++i) {
    needsRendering = needsTerminalRendering(batch[i]);
  }
  if (needsRendering) {
    LineBatch shown;
    for (std::size_t i = 0; i < batch.size(); ++i) shown.add(terminalLineText(batch[i]), batch.info(i));
    batch = std::move(shown);
  }
  if (batch.size() <= kMaxBatchLines) {
    sink_(std::move(batch));
    return;
  }
  for (std::size_t first = 0; first < batch.size(); first += kMaxBatchLines) {
    LineBatch part;
    const std::size_t end = std::min(batch.size(), first + kMaxBatchLines);
    for (std::size_t i = first; i < end; ++i) part.add(batch[i], batch.info(i));
    sink_(std::move(part));
  }
}

}  // namespace mf
