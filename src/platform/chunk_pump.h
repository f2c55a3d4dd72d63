#pragma once

#include "trace/line_splitter.h"
#include "trace/services.h"

namespace mf {

// Reads one descriptor chunk by chunk, cuts the bytes into lines and hands
// every non-empty batch to the sink: one call per chunk, in stream order.
class ChunkPump {
 public:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  explicit ChunkPump(LineBatchSink sink);

  enum class Result { more, wouldBlock, ended };
  // One read(). At end of stream (or a read error) the pending rest is
  // delivered and `ended` returned; call nothing after that.
  Result pumpOnce(int fd);
  // Delivers whatever is still pending, as at end of stream.
  void finish();

 private:
  LineBatchSink sink_;
  LineSplitter splitter_;
  std::string buffer_;
  bool finished_ = false;
};

}  // namespace mf
