// Cutting a byte stream into chunks anywhere must not change the lines it
// yields: the splitter carries partial lines and partial characters over.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "trace/line_splitter.h"

namespace {

std::vector<std::string> linesOf(const mf::LineBatch& batch) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the cut pattern; the rest is the stream.
  const unsigned seed = data[0];
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  mf::LineBatch whole;
  mf::LineSplitter one;
  one.feed(stream, whole);
  one.finish(whole);

  mf::LineBatch pieces;
  mf::LineSplitter many;
  std::size_t offset = 0;
  unsigned state = seed * 2654435761u + 1;
  while (offset < stream.size()) {
    state = state * 1103515245u + 12345u;
    const std::size_t length = 1 + (state >> 16) % 7;
    many.feed(stream.substr(offset, length), pieces);
    offset += length;
  }
  many.finish(pieces);

  if (linesOf(whole) != linesOf(pieces)) std::abort();

  for (std::size_t i = 0; i < whole.size(); ++i) {
    const std::string_view line = whole[i];
    if (line.empty()) std::abort();
    for (char c : line) {
      if (c == '\n' || c == '\r' || c == '\v' || c == '\f') std::abort();
    }
  }
  return 0;
}
