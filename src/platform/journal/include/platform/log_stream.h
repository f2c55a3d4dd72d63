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

// Nothing when the journal accepts a connection at `socketPath`, otherwise a
// readable reason ("the systemd journal is not running").
std::optional<std::string> journalUnavailableReason(
    const std::string& socketPath = "/run/systemd/journal/socket");

class JournalFollower;

// Streams whose LogProcess handle is gone but which still read the lines the
// journal delivers late. Destroying the set ends them and joins their
// readers: it must go before whatever their sinks post to.
class LingeringStreams {
 public:
  LingeringStreams() = default;
  ~LingeringStreams();
  LingeringStreams(const LingeringStreams&) = delete;
  LingeringStreams& operator=(const LingeringStreams&) = delete;

  void adopt(std::shared_ptr<JournalFollower> follower);
  std::size_t size();  // streams still reading

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<JournalFollower>> followers_;
};

// Why this user cannot follow the target in the journal whose files lie in
// `directories`: it may read neither the system's journal nor a journal of
// its own. Nothing when it can, or when no journal file exists to judge by.
std::optional<std::string> journalUnreadableReason(const std::vector<std::string>& directories);

// The journal road of a trace: start() opens the local journals this user
// may read, from the moment of the call on, and reads them on a thread of
// its own as journald stores them (sd-journal, in-process), handing the
// lines of the launched process tree to the sink; LogProcess::follow tells
// it the tree. terminate() and destroying the process let it linger for
// lines journald hands on late (see stream_linger.h); the launcher ends
// those that still linger when it goes.
class JournalLogStreamLauncher final : public LogStreamLauncher {
 public:
  struct Options {
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
