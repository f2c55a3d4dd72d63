// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace/services.h"

namespace mf {

// How long ssh may take to reach HOST (its ConnectTimeout).
inline constexpr int kSshConnectTimeoutSeconds = 10;

// The road to another machine: the user's own ssh (the first in PATH, their
// configuration, keys, agent and jump hosts), in BatchMode, so a password or
// passphrase prompt never waits for ever. Each connection is read by a
// thread of its own; destroying the launcher cuts the connections still open
// and waits for their threads.
class SshLauncher final : public RemoteLauncher {
 public:
  SshLauncher() = default;
  ~SshLauncher() override;
  SshLauncher(const SshLauncher&) = delete;
  SshLauncher& operator=(const SshLauncher&) = delete;

  std::unique_ptr<RemoteConnection> connect(const std::string& host, const std::string& command,
                                            RemoteHandlers handlers, std::string& error) override;

  struct Link;

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::shared_ptr<Link>, std::thread>> links_;
};

}  // namespace mf
