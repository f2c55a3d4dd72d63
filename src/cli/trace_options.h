// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace mf::cli {

// What `marrowfield-cli trace` was asked to do.
struct TraceOptions {
  std::string app;
  bool showRawLog = false;
  std::string searchText;
  std::optional<double> seconds;
  bool freshLaunch = true;
  bool qtLevelPrefix = true;
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<std::string> arguments;
  bool json = false;                    // --json: JSON Lines instead of text
  std::optional<std::string> baseline;  // --baseline FILE: an earlier --json output
  std::optional<std::string> host;      // --host [USER@]HOST: trace there, through ssh
  // --until-stdin-closes (not in --help: what --host runs on the other
  // machine): the trace also stops when stdin reaches its end or on SIGHUP,
  // SIGTERM or SIGPIPE, and what it launched is then ended too.
  bool untilStdinCloses = false;
};

// Reads the arguments after "trace". Nothing when they are bad, with `error`
// saying why (one line, quoting the argument as given), or when --help was
// asked for (`helpRequested`).
std::optional<TraceOptions> parseTraceOptions(std::span<const char* const> args, bool& helpRequested,
                                              std::string& error);

}  // namespace mf::cli
