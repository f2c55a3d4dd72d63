// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>

#include "text/line_batcher.h"

namespace mf {

// Reads one descriptor chunk by chunk into a LineBatcher, which cuts the
// lines and hands them on; each chunk is stamped with the moment it was read.
class ChunkPump {
 public:
  static constexpr std::size_t kChunkSize = std::size_t{64} * 1024;

  explicit ChunkPump(LineBatcher batcher);

  enum class Result { more, wouldBlock, ended };
  // One read(). At end of stream (or a read error) the pending rest is
  // delivered and `ended` returned; call nothing after that.
  Result pumpOnce(int fd);
  // Delivers whatever is still pending, as at end of stream.
  void finish();
  // Delivers the line begun so far; reading goes on.
  void flushPendingLine();

  bool isTerminal() const { return batcher_.isTerminal(); }

 private:
  LineBatcher batcher_;
  std::string buffer_;
};

}  // namespace mf
