// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text/line_batch.h"

namespace mf {

// Cuts a byte stream into lines, chunk by chunk.
//
// Separators: LF, VT, FF, CR (CR LF counts once), NEL, LS, PS; empty pieces
// are dropped. A line or a UTF-8 sequence cut by a chunk boundary is carried
// over to the next chunk; bytes that are not valid UTF-8 become U+FFFD; a
// pending line longer than maxPendingLine is emitted as a line of its own so
// an endless line cannot exhaust memory. The cut falls between characters and
// depends only on the content, so any chunking of a stream yields the same
// lines.
class LineSplitter {
 public:
  static constexpr std::size_t kDefaultMaxPendingLine = std::size_t{1} << 20;

  // What ends a line. A log stream's text ends lines at any of the
  // separators above. A terminal's ends them at LF, VT and FF, which a
  // terminal moves down a line for; CR, backspace and the rest move the
  // cursor within what the program means as one line (a progress bar redrawn
  // with CR is one line, not a hundred).
  enum class Separators { all, lineFeedOnly, terminal };

  // A bound below 4 bytes is taken as 4, the longest UTF-8 character.
  // Every line is added with `info`.
  explicit LineSplitter(std::size_t maxPendingLine = kDefaultMaxPendingLine,
                        Separators separators = Separators::all, LineInfo info = {});

  // Appends the lines this chunk completes to `out`.
  void feed(std::string_view chunk, LineBatch& out);
  // End of stream: appends what is still pending.
  void finish(LineBatch& out);
  // Appends the line begun so far as a line of its own, though the stream
  // goes on (its writer ended, others may still write). A character cut in
  // the middle stays carried.
  void flushPendingLine(LineBatch& out);

 private:
  class Walk;  // one feed's walk over its chunk

  std::size_t maxPendingLine_;
  Separators separators_;
  LineInfo info_;
  std::string pending_;  // the current line so far, valid UTF-8
  std::string carry_;    // the start of a UTF-8 sequence cut by the chunk boundary
};

}  // namespace mf
