#pragma once

#include <optional>
#include <string>
#include <vector>

#include "trace/services.h"

namespace mf {

// journalctl filtered to the target: its stdout/stderr stream carries the
// process name as identifier, its own journal calls carry it as
// SYSLOG_IDENTIFIER, and _COMM (the kernel's 15-byte name) catches the rest.
// `since` (wall-clock seconds) replaces --lines=0 so lines written before
// journalctl starts reading are not lost.
std::vector<std::string> journalctlArguments(const std::string& processName, double since);

// The unified-log stream command of the original platform, kept for a future
// back end there: executable first, then its seven arguments.
std::vector<std::string> unifiedLogArguments(const std::string& processName);

// Nothing when the journal accepts a connection at `socketPath`, otherwise a
// readable reason ("the systemd journal is not running").
std::optional<std::string> journalUnavailableReason(
    const std::string& socketPath = "/run/systemd/journal/socket");

// Runs `argv` (argv[0] looked up in PATH when it has no slash) with stdin on
// /dev/null and stdout+stderr on one pipe, and delivers the pipe's lines to
// `sink` from a background thread until end of stream. The returned process
// is reaped and its reader joined when it is destroyed.
ArmResult startLineStream(const std::vector<std::string>& argv, LineBatchSink sink);

class JournalLogStreamLauncher final : public LogStreamLauncher {
 public:
  struct Options {
    std::string journalctl = "journalctl";
    std::string journalSocket = "/run/systemd/journal/socket";
  };
  JournalLogStreamLauncher();
  explicit JournalLogStreamLauncher(Options options);

  ArmResult start(const std::string& processName, LineBatchSink sink) override;

 private:
  Options options_;
};

}  // namespace mf
