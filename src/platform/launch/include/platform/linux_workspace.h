// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "trace/services.h"

namespace mf {

struct ApplicationTarget;
struct LaunchRecord;
struct SessionIdentity;

// The window size the target's terminal reports: wide, so that programs
// which fit their output to the terminal do not wrap it.
inline constexpr unsigned short kTerminalColumns = 200;
inline constexpr unsigned short kTerminalRows = 50;

// The workspace on Linux: desktop entries and executables stand in for
// application bundles, the journal's stdout stream for the launcher's
// logging, pidfds for the did-terminate notification.
class LinuxWorkspace final : public Workspace {
 public:
  struct Options {
    // The target's stdout/stderr go to the journal under its name. Off: they
    // are inherited (only when no direct capture is asked for).
    bool journalStreams = true;
    std::string journalSocket = "/run/systemd/journal/socket";
  };

  explicit LinuxWorkspace(MainQueue& mainQueue);
  LinuxWorkspace(MainQueue& mainQueue, Options options);
  // The targets' outputs are still read to their end by the process-wide
  // watcher, into the sinks their launches gave.
  ~LinuxWorkspace() override;

  void openApplication(const std::string& path, const LaunchOptions& options, LaunchCompletion completion) override;
  std::vector<std::shared_ptr<RunningApplication>> runningApplications(const std::string& bundleIdentifier) override;
  std::unique_ptr<TerminationObserver> addTerminationObserver(std::int32_t pid, TerminationCallback callback) override;
  std::string bundleIdentifier(const std::string& path) override;

  // For the file chooser: desktop entries of Type=Application and
  // executable files.
  static bool isApplication(const std::string& path);

 private:
  std::string instanceExecutableFor(const std::string& bundleIdentifier);
  LaunchRecord prepareLaunch(const ApplicationTarget& target, SessionIdentity session);
  void rememberLaunch(pid_t pid, LaunchRecord record);
  std::optional<LaunchRecord> forgetLaunch(pid_t pid);

  MainQueue& mainQueue_;
  Options options_;
  std::mutex mutex_;
  // Identifiers seen by bundleIdentifier() or a launch, so a desktop entry
  // outside the XDG directories can be found again by its identifier.
  std::unordered_map<std::string, std::string> pathsByIdentifier_;
  std::vector<LaunchRecord> launches_;
};

// A process as a running application. Holds a pidfd when it could get one,
// so the quit request cannot reach a process that reused the pid.
class LinuxRunningApplication final : public RunningApplication {
 public:
  explicit LinuxRunningApplication(std::int32_t pid, int pidfd = -1);
  ~LinuxRunningApplication() override;
  std::int32_t processIdentifier() const override { return pid_; }
  bool terminate() override;

 private:
  std::int32_t pid_;
  int pidfd_;
};

}  // namespace mf
