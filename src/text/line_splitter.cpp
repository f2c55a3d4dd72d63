// SPDX-License-Identifier: GPL-3.0-or-later
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
// The same on a terminal: LF, VT and FF.
constexpr std::array<bool, 256> kStopByteTerminal = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = (b >= 0x0A && b <= 0x0C) || b >= 0x80;
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
      separators_(separators),
      info_(info) {}

// One feed's walk over its chunk. The current line is pending_ (bytes
// already decoded or carried over from earlier chunks) followed by
// chunk[segment_, i_): verbatim bytes of this chunk, copied only when the line
// ends or the chunk does. A line is emitted before it would grow past
// maxPendingLine_, always between characters, so where a long line is cut
// depends only on its content, never on how the stream was chunked.
//
// The steps are forced inline: left to the compiler, endLine stays out of
// line, the walk's position then lives in memory behind every call, and the
// splitter loses about a third of its throughput (BM_SplitterThroughput).
class LineSplitter::Walk {
 public:
  Walk(LineSplitter& splitter, std::string_view chunk, LineBatch& out)
      : s_(splitter),
        out_(out),
        chunk_(chunk),
        bytes_(reinterpret_cast<const unsigned char*>(chunk.data())),
        n_(chunk.size()),
        stopByte_(splitter.separators_ == Separators::all            ? kStopByte
                  : splitter.separators_ == Separators::lineFeedOnly ? kStopByteLineFeedOnly
                                                                     : kStopByteTerminal) {}

  // Completes the character that the previous chunk ended inside; false when
  // this chunk ends inside it too (it is all carried over again).
  bool completeCarriedCharacter() {
    unsigned char joined[8];
    std::size_t joinedLength = s_.carry_.size();
    std::copy(s_.carry_.begin(), s_.carry_.end(), joined);
    const std::size_t take = std::min<std::size_t>(n_, 4 - s_.carry_.size());
    std::copy(bytes_, bytes_ + take, joined + joinedLength);
    joinedLength += take;
    const Decoded d = decodeAt(joined, joinedLength);
    if (d.kind == Decoded::incomplete) {
      s_.carry_.assign(reinterpret_cast<const char*>(joined), joinedLength);
      return false;
    }
    const std::size_t fromChunk = d.length - s_.carry_.size();
    s_.carry_.clear();
    if (separates(d)) {
      endLine(0);
    } else {
      const std::string_view decoded =
          d.kind == Decoded::invalid ? kReplacement : std::string_view(reinterpret_cast<const char*>(joined), d.length);
      reserveRoom(decoded.size());
      s_.pending_.append(decoded);
    }
    i_ = segment_ = fromChunk;
    return true;
  }

  // The rest of the chunk: ASCII in runs, each other byte on its own.
  void splitRest() {
    while (i_ < n_) {
      skipAsciiRun();
      if (lineLength() >= s_.maxPendingLine_) {
        endLine(i_);
        segment_ = i_;
        continue;
      }
      if (i_ == n_) break;
      if (bytes_[i_] < 0x80) {  // LF, VT, FF or CR (as the mode has it); CR LF leaves an empty piece, which is dropped
        endLine(i_);
        segment_ = ++i_;
        continue;
      }
      takeNonAscii();
    }
    s_.pending_.append(chunk_.substr(segment_, i_ - segment_));
  }

 private:
  [[gnu::always_inline]] bool separates(const Decoded& d) const {
    return s_.separators_ == Separators::all && d.kind == Decoded::character && isSeparator(d.codePoint);
  }

  [[gnu::always_inline]] std::size_t lineLength() const { return s_.pending_.size() + (i_ - segment_); }

  [[gnu::always_inline]] void endLine(std::size_t segmentEnd) {
    if (s_.pending_.empty()) {
      if (segmentEnd > segment_) out_.add(chunk_.substr(segment_, segmentEnd - segment_), s_.info_);
    } else {
      s_.pending_.append(chunk_.substr(segment_, segmentEnd - segment_));
      out_.add(s_.pending_, s_.info_);
      s_.pending_.clear();
    }
  }

  // Makes room for `length` more bytes of the current line.
  [[gnu::always_inline]] void reserveRoom(std::size_t length) {
    if (lineLength() + length > s_.maxPendingLine_) {
      endLine(i_);
      segment_ = i_;
    }
  }

  // Up to the next byte that is not plain ASCII text, never past the line limit.
  [[gnu::always_inline]] void skipAsciiRun() {
    const std::size_t runEnd = std::min(n_, i_ + (s_.maxPendingLine_ - lineLength()));
    std::size_t i = i_;
    while (i < runEnd && !stopByte_[bytes_[i]]) ++i;
    i_ = i;
  }

  // A character, separator or invalid sequence at a non-ASCII byte, or the
  // start of a character the chunk ends inside (carried over).
  [[gnu::always_inline]] void takeNonAscii() {
    const Decoded d = decodeAt(bytes_ + i_, n_ - i_);
    if (d.kind == Decoded::incomplete) {
      s_.pending_.append(chunk_.substr(segment_, i_ - segment_));
      s_.carry_.assign(chunk_.substr(i_));
      segment_ = i_ = n_;
      return;
    }
    if (separates(d)) {
      endLine(i_);
      i_ += d.length;
      segment_ = i_;
      return;
    }
    if (d.kind == Decoded::invalid) {
      reserveRoom(kReplacement.size());
      s_.pending_.append(chunk_.substr(segment_, i_ - segment_));
      s_.pending_.append(kReplacement);
      i_ += d.length;
      segment_ = i_;
      return;
    }
    reserveRoom(d.length);
    i_ += d.length;
  }

  LineSplitter& s_;
  LineBatch& out_;
  const std::string_view chunk_;
  const unsigned char* const bytes_;
  const std::size_t n_;
  const std::array<bool, 256>& stopByte_;
  std::size_t i_ = 0;
  std::size_t segment_ = 0;
};

void LineSplitter::feed(std::string_view chunk, LineBatch& out) {
  Walk walk(*this, chunk, out);
  if (!carry_.empty() && !walk.completeCarriedCharacter()) return;
  walk.splitRest();
}

void LineSplitter::flushPendingLine(LineBatch& out) {
  if (!pending_.empty()) out.add(pending_, info_);
  pending_.clear();
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
