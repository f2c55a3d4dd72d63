#include "text/line_splitter.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace mf {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Bytes that end an ASCII run: the single-byte separators LF, VT, FF, CR,
// and every non-ASCII byte (a separator, a character or an invalid byte).
constexpr std::array<bool, 256> kStopByte = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = (b >= 0x0A && b <= 0x0D) || b >= 0x80;
  return table;
}();
// The same when only LF ends a line.
constexpr std::array<bool, 256> kStopByteLineFeedOnly = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = b == 0x0A || b >= 0x80;
  return table;
}();

struct Decoded {
  enum Kind { character, invalid, incomplete } kind;
  std::size_t length;  // bytes taken: the character, or the maximal invalid subpart
  std::uint32_t codePoint;
};

// One UTF-8 sequence at p[0..available). An invalid sequence is cut after
// its maximal valid prefix, so it yields one U+FFFD, as ICU and WHATWG do.
// When the bytes end inside a sequence that could still become valid, the
// result is `incomplete`.
Decoded decodeAt(const unsigned char* p, std::size_t available) {
  const unsigned char lead = p[0];
  std::size_t needed;
  std::uint32_t cp;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    cp = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    cp = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {Decoded::invalid, 1, 0xFFFD};
  }
  for (std::size_t k = 1; k <= needed; ++k) {
    if (k >= available) return {Decoded::incomplete, k, 0};
    const unsigned char b = p[k];
    if (b < low || b > high) return {Decoded::invalid, k, 0xFFFD};
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {Decoded::character, needed + 1, cp};
}

bool isSeparator(std::uint32_t cp) { return cp == 0x85 || cp == 0x2028 || cp == 0x2029; }

}  // namespace

LineSplitter::LineSplitter(std::size_t maxPendingLine, Separators separators, LineInfo info)
    : maxPendingLine_(std::max<std::size_t>(maxPendingLine, 4)),
      lineFeedOnly_(separators == Separators::lineFeedOnly),
      info_(info) {}

// The current line is pending_ (bytes already decoded or carried over from
// earlier chunks) followed by chunk[segment, i): verbatim bytes of this
// chunk, copied only when the line ends or the chunk does. A line is emitted
// before it would grow past maxPendingLine_, always between characters, so
// where a long line is cut depends only on its content, never on how the
// stream was chunked.
void LineSplitter::feed(std::string_view chunk, LineBatch& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
  const std::size_t n = chunk.size();
  std::size_t i = 0;
  std::size_t segment = 0;
  const auto& stopByte = lineFeedOnly_ ? kStopByteLineFeedOnly : kStopByte;
  auto separates = [&](const Decoded& d) {
    return !lineFeedOnly_ && d.kind == Decoded::character && isSeparator(d.codePoint);
  };

  auto lineLength = [&] { return pending_.size() + (i - segment); };
  auto endLine = [&](std::size_t segmentEnd) {
    if (pending_.empty()) {
      if (segmentEnd > segment) out.add(chunk.substr(segment, segmentEnd - segment), info_);
    } else {
      pending_.append(chunk.substr(segment, segmentEnd - segment));
      out.add(pending_, info_);
      pending_.clear();
    }
  };
  // Makes room for `length` more bytes of the current line.
  auto reserveRoom = [&](std::size_t length) {
    if (lineLength() + length > maxPendingLine_) {
      endLine(i);
      segment = i;
    }
  };
  auto appendDecoded = [&](std::string_view decoded) {
    pending_.append(chunk.substr(segment, i - segment));
    pending_.append(decoded);
  };

  if (!carry_.empty()) {
    // Complete the character that the previous chunk ended inside.
    unsigned char joined[8];
    std::size_t joinedLength = carry_.size();
    std::copy(carry_.begin(), carry_.end(), joined);
    const std::size_t take = std::min<std::size_t>(n, 4 - carry_.size());
    std::copy(bytes, bytes + take, joined + joinedLength);
    joinedLength += take;
    const Decoded d = decodeAt(joined, joinedLength);
    if (d.kind == Decoded::incomplete) {
      carry_.assign(reinterpret_cast<const char*>(joined), joinedLength);
      return;
    }
    const std::size_t fromChunk = d.length - carry_.size();
    carry_.clear();
    if (separates(d)) {
      endLine(0);
    } else {
      const std::string_view decoded =
          d.kind == Decoded::invalid ? kReplacement : std::string_view(reinterpret_cast<const char*>(joined), d.length);
      reserveRoom(decoded.size());
      pending_.append(decoded);
    }
    i = segment = fromChunk;
  }

  while (i < n) {
    // ASCII run, never past the line limit.
    const std::size_t room = maxPendingLine_ - lineLength();
    const std::size_t runEnd = std::min(n, i + room);
    while (i < runEnd && !stopByte[bytes[i]]) ++i;
    if (lineLength() >= maxPendingLine_) {
      endLine(i);
      segment = i;
      continue;
    }
    if (i == n) break;

    const unsigned char b = bytes[i];
    if (b < 0x80) {  // LF, VT, FF or CR (LF only); CR LF leaves an empty piece, which is dropped
      endLine(i);
      segment = ++i;
      continue;
    }
    const Decoded d = decodeAt(bytes + i, n - i);
    if (d.kind == Decoded::incomplete) {
      pending_.append(chunk.substr(segment, i - segment));
      carry_.assign(chunk.substr(i));
      segment = i = n;
      break;
    }
    if (separates(d)) {
      endLine(i);
      i += d.length;
      segment = i;
      continue;
    }
    if (d.kind == Decoded::invalid) {
      reserveRoom(kReplacement.size());
      appendDecoded(kReplacement);
      i += d.length;
      segment = i;
      continue;
    }
    reserveRoom(d.length);
    i += d.length;
  }
  pending_.append(chunk.substr(segment, i - segment));
}

void LineSplitter::finish(LineBatch& out) {
  if (!carry_.empty()) {
    // The stream ended inside a character: one maximal invalid subpart.
    carry_.clear();
    if (pending_.size() + kReplacement.size() > maxPendingLine_ && !pending_.empty()) {
      out.add(pending_, info_);
      pending_.clear();
    }
    pending_.append(kReplacement);
  }
  if (!pending_.empty()) out.add(pending_, info_);
  pending_.clear();
}

}  // namespace mf
