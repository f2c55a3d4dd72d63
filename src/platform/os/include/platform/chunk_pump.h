// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "text/line_splitter.h"
#include "trace/services.h"

namespace mf {

// Reads one descriptor chunk by chunk, cuts the bytes into lines and hands
// them to the sink in stream order: one call per chunk, or one per run of
// kMaxBatchLines lines for a chunk that holds more. Each line carries the
// moment it was read as its time.
class ChunkPump {
 public:
  static constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
  // Each batch becomes one task on the main thread, whose cost grows with
  // its line count. A chunk of ordinary lines holds about 500; one of very
  // short lines up to 32,768 ("x\n" repeated), which would hold the main
  // thread for several frames. 2048 lines take about a millisecond.
  static constexpr std::size_t kMaxBatchLines = 2048;

  explicit ChunkPump(LineBatchSink sink);
  // A pump for what a program writes to a terminal: lines end at LF, VT and
  // FF, and each is rendered as the terminal would show it (terminalLineText),
  // tagged with `info`.
  static ChunkPump forTerminal(LineBatchSink sink, LineInfo info);
  // Plain lines tagged with `info`.
  ChunkPump(LineBatchSink sink, LineInfo info);

  enum class Result { more, wouldBlock, ended };
  // One read(). At end of stream (or a read error) the pending rest is
  // delivered and `ended` returned; call nothing after that.
  Result pumpOnce(int fd);
  // Delivers whatever is still pending, as at end of stream.
  void finish();
  // Delivers the line begun so far; reading goes on.
  void flushPendingLine();

  bool isTerminal() const { return isTerminal_; }

 private:
  void deliver(LineBatch batch);

  ChunkPump(LineBatchSink sink, LineSplitter splitter, bool isTerminal);

  LineBatchSink sink_;
  LineSplitter splitter_;
  bool isTerminal_ = false;
  std::string buffer_;
  bool finished_ = false;
};

}  // namespace mf
