// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A trace on another machine, as both the command-line tool and the window
// run it: the other machine's marrowfield-cli traces there and writes the
// trace as JSON Lines (`marrowfield-cli trace --json`), which come back here
// through a RemoteLauncher (trace/services.h) and are read into events. What
// is here is the words on both ends, not the road between them.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/event.h"
#include "model/launch_session.h"
#include "model/uuid.h"
#include "text/line_batch.h"

namespace mf {

// Every object of --json output carries it as "schema"; a reader checks the
// part before "/" and refuses a greater number after it.
inline constexpr std::string_view kJsonSchema = "marrowfield-trace/1";

// One line of --json output read back: its members' values as text (strings
// unescaped, other values as written). Nothing when it is not a flat object.
std::optional<std::map<std::string, std::string>> readJsonObject(std::string_view line);

// `text` in single quotes for a POSIX shell (and fish, and zsh): nothing in
// it is expanded.
std::string shellQuoted(const std::string& text);

// The words the other machine's shell runs: the check of its marrowfield-cli
// (present, its version, the schema it writes, the machine's UTC offset) and
// then `marrowfield-cli trace --json --until-stdin-closes` with
// `traceArguments` (APP first), every argument quoted.
std::string remoteCommand(const std::vector<std::string>& traceArguments);

// "Connection to HOST lost: REASON", the event a cut-off trace ends with.
std::string connectionLostText(const std::string& host, const std::string& reason);

// One event of the other side's trace, as it wrote it.
struct RemoteEvent {
  Uuid id;
  double time = 0;
  EventType type = EventType::info;
  std::string source;
  std::string message;
  bool noise = false;
  LineOrigin origin = LineOrigin::trace;
};

// Reads the other side's output, line by line.
class RemoteTraceReader {
 public:
  enum class Took { nothing, trace, event, verdict };
  // One line of the output. `trace`: the trace object came (app(), path(),
  // identifier() are set); `event`: event() is the next event; `verdict`:
  // the trace there is over.
  Took takeLine(const std::string& line);

  bool started() const { return started_; }
  bool finished() const { return finished_; }
  const std::string& app() const { return app_; }
  const std::string& path() const { return path_; }
  const std::string& identifier() const { return identifier_; }
  const RemoteEvent& event() const { return event_; }
  // The other machine's UTC offset in seconds, once its check said it.
  std::optional<int> utcOffset() const { return utcOffset_; }

  // Why the trace never began, in one sentence naming `host`, from what the
  // check said, ssh's exit `status` and the last line ssh wrote on stderr.
  // Empty when the marrowfield-cli there said why itself (its status 2).
  std::string failure(const std::string& host, int status, const std::string& sshError) const;

 private:
  void takeCheck(const std::string& said);

  enum class State { shellNoise, check, trace };
  State state_ = State::shellNoise;
  bool started_ = false;
  bool finished_ = false;
  bool missing_ = false;
  std::string app_, path_, identifier_;
  RemoteEvent event_;
  std::uint64_t count_ = 0;
  std::string version_;
  std::optional<std::string> schema_;
  std::optional<std::string> malformed_;
  std::optional<int> utcOffset_;
};

// How a trace read back ended, from the words its events say it with (the
// ones ContentView writes when a trace ends); `stopped` when none says.
TraceOutcome remoteOutcome(const EventList& events, const std::string& appName);
// The PID in "APP launched with PID N", or 0.
std::int32_t launchedPid(const RemoteEvent& event, const std::string& appName);

}  // namespace mf
