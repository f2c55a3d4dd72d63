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

#include "platform/instances.h"
#include "trace/services.h"

namespace mf {

class SinkSlot;
struct ApplicationTarget;

// What a launch leaves behind for telling, at its exit, whether it handed
// itself over to an instance that already ran.
struct LaunchRecord {
  pid_t pid = 0;
  std::string instanceExecutable;
  // The desktop-file ID (without ".desktop"); empty for a plain executable.
  std::string desktopId;
  // The session the launch ran in: ours, with the launch's own display or
  // bus address where it was given one.
  SessionIdentity session;
  // Whether an instance ran in that session when the launch began, and the
  // bus calls the launch made (none when the bus could not be monitored).
  bool instanceAtLaunch = false;
  std::shared_ptr<BusCallWatch> calls;
  std::chrono::steady_clock::time_point launchedAt;
  unsigned long long startTicks = 0;
};

// A single-instance program that finds itself running passes its launch to
// that instance and exits 0 within a fraction of a second. A quick zero
// exit alone proves nothing (a copy that simply ends, `--version`), so it
// counts as a hand-off only with the bus's word for it: the launched
// process called, on its session bus, a name owned by an instance of the
// same program in the launch's session that started before the launch.
//  - GApplication (GTK, GNOME, Xfce) owns its application ID and a second
//    copy calls it (DescribeAll, then Activate, Open or CommandLine).
//  - KDE's KDBusService in its unique mode owns org.kde.<app> (or its
//    reverse-domain name) and a second copy calls its CommandLine there; in
//    its multiple-instance mode it owns "<name>-<pid>" and every launch runs
//    on, so there is nothing to match. Qt programs with a D-Bus single
//    instance of their own are caught the same way, whatever the name.
//  - Local-socket single instances (QtSingleApplication and its kin) leave
//    nothing another process can see once the second copy has gone; they
//    are not reported, since a false hand-off would hide how the launch
//    really ended.
// Where the bus refuses to be monitored, the one sign left is the desktop
// ID's name (GApplication's and KDE's ID in practice) owned by such an
// instance. Returns the instance.
std::optional<std::int32_t> instanceHandedOffTo(const LaunchRecord& launch);
inline constexpr std::chrono::seconds kHandOffWindow{10};
// How long the exit waits for the bus to pass on the launch's last calls.
inline constexpr std::chrono::milliseconds kHandOffSettle{1000};

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
  // Direct-output sinks are switched off here; the targets' pipes are still
  // drained to their end by the process-wide watcher.
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
  // The launch's output sink, switched off when this workspace goes.
  LineBatchSink registerSink(const LineBatchSink& output);
  std::optional<LaunchRecord> forgetLaunch(pid_t pid);

  MainQueue& mainQueue_;
  Options options_;
  std::mutex mutex_;
  // Identifiers seen by bundleIdentifier() or a launch, so a desktop entry
  // outside the XDG directories can be found again by its identifier.
  std::unordered_map<std::string, std::string> pathsByIdentifier_;
  std::vector<std::weak_ptr<SinkSlot>> sinks_;
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
