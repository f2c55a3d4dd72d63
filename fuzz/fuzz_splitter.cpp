// SPDX-License-Identifier: GPL-3.0-or-later
// The line splitter against a whole-stream reference (decode everything with
// U+FFFD for each maximal invalid subpart, then cut at the separators), under
// every way of cutting the stream into chunks: random cuts, and for short
// streams every single cut point. A bounded splitter must give lines within
// its bound whose concatenation is the unbounded one's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "text/line_splitter.h"

namespace {

using mf::fuzz::mismatch;

std::string join(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\xE2\x90\x8A";  // U+240A marks the ends in reports
  return s;
}

std::vector<std::string> splitInPieces(std::string_view stream, unsigned seed, std::size_t bound) {
  mf::LineBatch out;
  mf::LineSplitter splitter(bound);
  std::size_t offset = 0;
  unsigned state = seed * 2654435761u + 1;
  while (offset < stream.size()) {
    state = state * 1103515245u + 12345u;
    // Mostly short chunks, so cuts land inside characters and CR LF pairs;
    // now and then an empty one.
    const std::size_t length = (state >> 16) % 9;
    splitter.feed(stream.substr(offset, length), out);
    offset += length;
  }
  splitter.finish(out);
  return mf::reference::linesOf(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the cut pattern and picks a small line bound; the
  // rest is the stream.
  const unsigned seed = data[0];
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::vector<std::string> whole = mf::fuzz::splitLines(stream);
  const std::vector<std::string> expected = mf::reference::splitLines(stream);
  if (whole != expected) mismatch("one chunk vs the whole-stream reference", stream, join(whole), join(expected));

  for (const auto& line : whole) {
    if (line.empty()) mismatch("an empty line", stream, join(whole), {});
    if (!mf::isValidUtf8(line)) mismatch("a line that is not valid UTF-8", stream, line, {});
  }

  const std::vector<std::string> pieces = splitInPieces(stream, seed, mf::LineSplitter::kDefaultMaxPendingLine);
  if (pieces != whole) mismatch("random chunks vs one chunk", stream, join(pieces), join(whole));

  if (stream.size() <= 64) {
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      mf::LineBatch out;
      mf::LineSplitter splitter;
      splitter.feed(stream.substr(0, cut), out);
      splitter.feed(stream.substr(cut), out);
      splitter.finish(out);
      const auto lines = mf::reference::linesOf(out);
      if (lines != whole) mismatch("one cut vs one chunk", stream, join(lines), join(whole));
    }
  }

  // A small bound (0..19; below 4 counts as 4): lines stay within it, the
  // chunking still does not matter, and nothing is lost or added.
  const std::size_t bound = (seed >> 3) % 20;
  const std::size_t effective = bound < 4 ? 4 : bound;
  const std::vector<std::string> bounded = splitInPieces(stream, 0, bound);
  const std::vector<std::string> boundedOther = splitInPieces(stream, seed + 1, bound);
  if (bounded != boundedOther) mismatch("bounded: two chunkings differ", stream, join(bounded), join(boundedOther));
  std::string all;
  for (const auto& line : bounded) {
    if (line.empty() || line.size() > effective) mismatch("bounded: line empty or over the bound", stream, line, {});
    if (!mf::isValidUtf8(line)) mismatch("bounded: a line that is not valid UTF-8", stream, line, {});
    all += line;
  }
  std::string allWhole;
  for (const auto& line : whole) allWhole += line;
  if (all != allWhole) mismatch("bounded: text lost or added", stream, all, allWhole);
  return 0;
}
