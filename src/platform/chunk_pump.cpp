#include "platform/chunk_pump.h"

#include <cerrno>
#include <unistd.h>

#include "platform/posix_io.h"

namespace mf {

ChunkPump::ChunkPump(LineBatchSink sink) : sink_(std::move(sink)) { buffer_.resize(kChunkSize); }

ChunkPump::Result ChunkPump::pumpOnce(int fd) {
  if (finished_) return Result::ended;
  const auto got = posix::retryOnEintr([&] { return ::read(fd, buffer_.data(), buffer_.size()); });
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Result::wouldBlock;
  if (got <= 0) {
    finish();
    return Result::ended;
  }
  LineBatch batch;
  splitter_.feed(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), batch);
  if (!batch.empty() && sink_) sink_(std::move(batch));
  return Result::more;
}

void ChunkPump::finish() {
  if (finished_) return;
  finished_ = true;
  LineBatch batch;
  splitter_.finish(batch);
  if (!batch.empty() && sink_) sink_(std::move(batch));
}

}  // namespace mf
