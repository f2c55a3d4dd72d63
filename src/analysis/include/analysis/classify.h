// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/event.h"
#include "text/line_batch.h"

namespace mf {

class Clock;
class EventList;
class IdSource;

// Removes, from both ends: tab, U+000A..U+000D, U+0085 and every Zs, Zl, Zp
// character. Input is valid UTF-8.
std::string_view trimWhitespace(std::string_view text);

// Runs of tab, LF, FF, CR and Zs/Zl/Zp collapse to one blank; then trimmed;
// then full Unicode lower-case mapping, independent of the locale.
std::string normalizeLine(std::string_view text);

// Whole word over runs of Unicode L, M, N and "_".
bool containsWord(std::string_view normalized, std::string_view word);
// Empty after trimming, or at most 8 extended grapheme clusters with no L, M or N.
bool isTrivialLine(std::string_view line);

// "[" + the lower-cased, trimmed identifier + ":", the prefix of lines the
// application wrote about itself; empty for an empty identifier.
std::string appMarkerFor(std::string_view bundleIdentifier);

// Whether a line is the launched program's own words by where it came from:
// its stdout or stderr, or a journal entry of its tree at notice or info
// level (5-6) that is not a library's GLib message. Such a line is shown
// like one that names the program's identifier; a line that carries no
// origin (the command-line classifier's input) never is.
bool isAppAuthored(const LineInfo& info);

struct Classification {
  EventType type = EventType::info;
  std::string_view source;  // one of the static tags "PERMISSION", "CRASH", "FILE", "CONSOLE"
  bool isRoutineNoise = false;
};

// Classifies lines for one bundle identifier. Prepares what depends on the
// identifier once, so a batch does not redo it per line.
class LineClassifier {
 public:
  explicit LineClassifier(std::string_view bundleIdentifier);
  // `trimmedLine` is already trimmed and not empty. `info.priority` is the
  // sender's own severity where the line carried one (a journal entry's
  // PRIORITY): 0-3 make it at least an error, 4 at least a warning, since a
  // structured message need not say in its text how severe it is; 7 (debug)
  // makes it at most info, whatever its text says. Without
  // one the text alone decides. Where the line came from may make it the
  // program's own words (isAppAuthored), which the noise rule keeps in view.
  Classification classify(std::string_view trimmedLine, const LineInfo& info = {}) const;

 private:
  std::string appMarker_;  // "[" + lower-cased, trimmed identifier + ":" (empty: none)
};

Classification classifyLine(std::string_view trimmedLine, std::string_view bundleIdentifier);

// The intake of one batch: trims each line, drops blank ones and classifies
// the rest (with the line's priority), calling
// `take(trimmedLine, classification, info)` for each, in batch order.
template <typename Take>
void classifyBatch(const LineBatch& batch, std::string_view bundleIdentifier, Take&& take) {
  const LineClassifier classifier(bundleIdentifier);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const std::string_view line = trimWhitespace(batch[i]);
    if (line.empty()) continue;
    const LineInfo info = batch.info(i);
    take(line, classifier.classify(line, info), info);
  }
}

// classifyBatch, appending one event per line (new id, the line's time of
// writing or else the current time, the line's origin) to `events`. The
// events are appended in batch order; placing them by time is the caller's
// (EventList::placeByTime).
void ingestLines(const LineBatch& batch, std::string_view bundleIdentifier, EventList& events,
                 IdSource& ids, Clock& clock);

}  // namespace mf
