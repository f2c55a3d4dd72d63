// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace mf {

// Where a line came from. Stored with each event, so a reader can tell what
// the target printed from what the journal holds and what the trace says.
enum class LineOrigin : unsigned char { trace, journal, standardOutput, standardError };

// The short name shown to people: "trace", "journal", "stdout", "stderr".
std::string_view originName(LineOrigin origin);

// What travels with a line besides its text. `priority` is the sender's
// syslog severity (0 emergency .. 7 debug) where the line carried one, as
// journal entries do; kNoPriority for plain text. `libraryDomain`: a GLib
// message logged under a library's domain ("Gtk", "GLib-GIO"), not under
// the program's own. `time`: when the line was written, in wall-clock
// seconds since the Unix epoch, where the reader knows it (a journal entry's
// own time, the moment a terminal line was read); 0 when the line takes the
// time it is taken in.
struct LineInfo {
  static constexpr int kNoPriority = -1;
  LineOrigin origin = LineOrigin::journal;
  std::int8_t priority = static_cast<std::int8_t>(kNoPriority);
  bool libraryDomain = false;
  double time = 0;
  friend bool operator==(const LineInfo&, const LineInfo&) = default;
};

// The lines cut from one chunk of log-stream output: the unit handed to the
// main thread. One flat buffer instead of a string per line, because a
// chatty stream brings a million lines and the reader should not allocate
// per line.
class LineBatch {
 public:
  void add(std::string_view line, LineInfo info = {}) {
    text_.append(line);
    ends_.push_back(text_.size());
    infos_.push_back(info);
  }
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(text_).substr(begin, ends_[index] - begin);
  }
  LineInfo info(std::size_t index) const { return infos_[index]; }
  // Gives every line that has no time of its own `time`.
  void stampTimes(double time) {
    for (auto& info : infos_) {
      if (info.time == 0) info.time = time;
    }
  }
  void clear() {
    text_.clear();
    ends_.clear();
    infos_.clear();
  }

  static LineBatch of(std::initializer_list<std::string_view> lines, LineInfo info = {}) {
    LineBatch batch;
    for (auto line : lines) batch.add(line, info);
    return batch;
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
  std::vector<LineInfo> infos_;
};

// Takes the lines of one chunk. A log stream calls it on a thread of its
// own, chunks in stream order, never two at once.
using LineBatchSink = std::function<void(LineBatch)>;

}  // namespace mf
