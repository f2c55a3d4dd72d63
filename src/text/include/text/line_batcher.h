// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string_view>

#include "text/line_batch.h"
#include "text/line_splitter.h"

namespace mf {

// Cuts the chunks of one stream into lines and hands them to the sink in
// stream order: one call per chunk, or one per run of kMaxBatchLines lines
// for a chunk that holds more. Each line without a time of its own carries
// the moment its chunk was read. Who reads the chunks (a descriptor, a
// socket, a recorded file) is the caller's business.
class LineBatcher {
 public:
  // Each batch becomes one task on the main thread, whose cost grows with
  // its line count. A chunk of ordinary lines holds about 500; one of very
  // short lines up to 32,768 ("x\n" repeated), which would hold the main
  // thread for several frames. 2048 lines take about a millisecond.
  static constexpr std::size_t kMaxBatchLines = 2048;

  explicit LineBatcher(LineBatchSink sink);
  // Plain lines tagged with `info`.
  LineBatcher(LineBatchSink sink, LineInfo info);
  // What a program writes to a terminal: lines end at LF, VT and FF, and
  // each is rendered as the terminal would show it (terminalLineText),
  // tagged with `info`.
  static LineBatcher forTerminal(LineBatchSink sink, LineInfo info);

  // The lines `chunk`, read at `readTime`, completes.
  void feed(std::string_view chunk, double readTime);
  // End of stream: delivers whatever is still pending; later calls do nothing.
  void finish(double readTime);
  // Delivers the line begun so far; the stream goes on.
  void flushPendingLine(double readTime);

  bool finished() const { return finished_; }
  bool isTerminal() const { return isTerminal_; }

 private:
  LineBatcher(LineBatchSink sink, LineSplitter splitter, bool isTerminal);
  void deliver(LineBatch batch, double readTime);

  LineBatchSink sink_;
  LineSplitter splitter_;
  bool isTerminal_ = false;
  bool finished_ = false;
};

}  // namespace mf
