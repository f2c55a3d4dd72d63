// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "trace/services.h"

namespace mf {

// The process name as a journal stream identifier. journald reads a stream's
// header line by line, so a newline in the identifier (a file name may hold
// one) would end it early: journald drops the connection and the target dies
// of SIGPIPE on its first write. Control characters become '_'; everything
// else is kept byte for byte. The stream and the journalctl match both use it.
std::string journalIdentifier(const std::string& processName);

// journalctl printing every entry from `since` (wall-clock seconds) on, in
// the export format, and following. Nothing is filtered by journalctl: which
// entries belong to the launched process tree is only known as it grows, so
// the reader decides (JournalCapture). `since` instead of --lines=0 keeps the
// lines written before journalctl starts reading.
std::vector<std::string> journalctlArguments(double since);

// Nothing when the journal accepts a connection at `socketPath`, otherwise a
// readable reason ("the systemd journal is not running").
std::optional<std::string> journalUnavailableReason(
    const std::string& socketPath = "/run/systemd/journal/socket");

class StreamChild;

// Streams whose LogProcess handle is gone but which still read the lines the
// journal delivers late. Destroying the set ends them (SIGTERM, a short
// grace, SIGKILL) and joins their readers: it must go before whatever their
// sinks post to.
class LingeringStreams {
 public:
  LingeringStreams() = default;
  ~LingeringStreams();
  LingeringStreams(const LingeringStreams&) = delete;
  LingeringStreams& operator=(const LingeringStreams&) = delete;

  void adopt(std::shared_ptr<StreamChild> child);
  std::size_t size();  // streams still reading

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<StreamChild>> children_;
};

// Why this user cannot follow the target in the journal whose files lie in
// `directories`: it may read neither the system's journal nor a journal of
// its own. Nothing when it can, or when no journal file exists to judge by.
std::optional<std::string> journalUnreadableReason(const std::vector<std::string>& directories);

// Runs `argv` (argv[0] looked up in PATH when it has no slash) with stdin on
// /dev/null and stdout+stderr on one pipe, and delivers the pipe's lines to
// `sink` from a background thread until end of stream.
//
// terminate() lets the stream linger: it keeps reading until its output has
// been quiet for a moment (at most two seconds) and only then sends SIGTERM.
// Destroying the process hands it to `lingering` to do the same; without a
// lingering set, destruction ends the child at once (SIGTERM, a short grace,
// SIGKILL) and joins the reader. Either way the child is reaped.
ArmResult startLineStream(const std::vector<std::string>& argv, LineBatchSink sink,
                          std::shared_ptr<LingeringStreams> lingering = nullptr);

class JournalLogStreamLauncher final : public LogStreamLauncher {
 public:
  struct Options {
    std::string journalctl = "journalctl";
    std::string journalSocket = "/run/systemd/journal/socket";
    // Where journald keeps its files, volatile and persistent.
    std::vector<std::string> journalDirectories = {"/run/log/journal", "/var/log/journal"};
  };
  JournalLogStreamLauncher();
  explicit JournalLogStreamLauncher(Options options);

  // Ends the streams that still linger; outlive every LogProcess it made and
  // go before the main queue their sinks post to.
  ~JournalLogStreamLauncher() override;

  ArmResult start(const std::string& processName, LineBatchSink sink) override;

  std::size_t lingeringStreams();

 private:
  Options options_;
  std::shared_ptr<LingeringStreams> lingering_;
};

}  // namespace mf
