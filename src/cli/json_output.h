// SPDX-License-Identifier: GPL-3.0-or-later
// `marrowfield-cli trace --json`: one JSON object per line (JSON Lines), the
// schema named in every object. Described in dist/man/marrowfield-cli.help.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <unordered_set>

#include "model/event_list.h"
#include "trace/content_view.h"
#include "trace/remote_trace.h"
#include "verdict/novelty.h"
#include "verdict/verdict.h"

namespace mf::cli {

// `text` as a JSON string: quoted, with quote, backslash and control
// characters escaped, and each byte that is not part of valid UTF-8 given as
// U+FFFD, so the output is always valid JSON whatever a program wrote.
std::string jsonString(std::string_view text);

// {"schema":…,"kind":"trace","app":…,"path":…,"identifier":…}, and "host":… after them for a trace
// that ran on another machine (an optional member: readers of the schema skip what they do not know).
std::string traceJson(std::string_view app, std::string_view path, std::string_view identifier,
                      std::optional<std::string_view> host = std::nullopt);
// {"schema":…,"kind":"event","id":…,"time":…,"utc":…,"type":…,"source":…,"noise":…,"origin":…,
//  "pid":…,"identifier":…,"message":…,"new":…}; `isNew` is null without a baseline.
std::string eventJson(const EventView& event, std::optional<bool> isNew);
// {"schema":…,"kind":"verdict","verdict":…,"text":…,"event":…,"newEvents":…,"newErrors":…,"newWarnings":…}
std::string verdictJson(const Verdict& verdict, const EventList& events, const std::optional<NoveltyCounts>& news);

// Writes a trace as --json gives it: the trace object first, each event of
// the list once as it reaches it (noise included: a reader chooses what to
// show), the verdict last.
class JsonTraceWriter {
 public:
  JsonTraceWriter(const ContentView& view, std::optional<Baseline> baseline);
  void onChange(const Change& change);
  // The events not written yet and the verdict. Returns false when stdout
  // could not be written.
  bool finish();

 private:
  void writeNewEvents(std::size_t from);
  const ContentView& view_;
  std::optional<Baseline> baseline_;
  bool startedTrace_ = false;
  std::unordered_set<Uuid, UuidHash> written_;
};

// The messages of the events of an earlier --json output. Nothing, with
// `error` saying why, when the file cannot be read or is not such output.
std::optional<Baseline> readBaseline(const std::string& path, std::string& error);

}  // namespace mf::cli
