// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/line_batcher.h"

#include <algorithm>
#include <utility>

#include "text/terminal_line.h"

namespace mf {

LineBatcher::LineBatcher(LineBatchSink sink) : LineBatcher(std::move(sink), LineSplitter(), false) {}

LineBatcher::LineBatcher(LineBatchSink sink, LineInfo info)
    : LineBatcher(std::move(sink),
                  LineSplitter(LineSplitter::kDefaultMaxPendingLine, LineSplitter::Separators::all, info), false) {}

LineBatcher::LineBatcher(LineBatchSink sink, LineSplitter splitter, bool isTerminal)
    : sink_(std::move(sink)), splitter_(std::move(splitter)), isTerminal_(isTerminal) {}

LineBatcher LineBatcher::forTerminal(LineBatchSink sink, LineInfo info) {
  return LineBatcher(std::move(sink),
                     LineSplitter(LineSplitter::kDefaultMaxPendingLine, LineSplitter::Separators::terminal, info),
                     true);
}

void LineBatcher::feed(std::string_view chunk, double readTime) {
  if (finished_) return;
  LineBatch batch;
  splitter_.feed(chunk, batch);
  deliver(std::move(batch), readTime);
}

void LineBatcher::finish(double readTime) {
  if (finished_) return;
  finished_ = true;
  LineBatch batch;
  splitter_.finish(batch);
  deliver(std::move(batch), readTime);
}

void LineBatcher::flushPendingLine(double readTime) {
  if (finished_) return;
  LineBatch batch;
  splitter_.flushPendingLine(batch);
  deliver(std::move(batch), readTime);
}

void LineBatcher::deliver(LineBatch batch, double readTime) {
  if (batch.empty() || !sink_) return;
  // A line was written at the latest when it was read; the trace orders
  // lines of all its roads by that time.
  batch.stampTimes(readTime);
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
