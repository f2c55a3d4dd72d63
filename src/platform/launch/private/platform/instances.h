// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Which processes are "the application, running in the user's own session":
// what Fresh Launch may quit and what a launch may have handed itself to,
// told from what the workspace records of each launch (LaunchRecord).
// Another user's process, or one on another display or session bus, is never
// one, whatever it runs, and also when we run as root.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "platform/system_calls.h"

namespace mf {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> fileIdentityOf(const std::string& path);

// The session a process works in, as far as it tells which desktop it
// belongs to.
struct SessionIdentity {
  uid_t realUid = 0;
  // The kernel's login session (/proc/<pid>/sessionid); unset for processes
  // started outside a login (a user manager's, a display manager's children).
  std::optional<std::uint32_t> loginSession;
  std::optional<std::string> x11Display;      // ":1" for ":1.0" too
  std::optional<std::string> waylandDisplay;
  std::string sessionBus;  // the session bus address, without its guid; empty when none
};

using EnvironmentOverrides = std::vector<std::pair<std::string, std::string>>;

// This process's session as a launch of ours sees it: our environment with
// `overrides` applied (a launch's own DISPLAY or bus address).
SessionIdentity ownSession(const EnvironmentOverrides& overrides = {});

// Nothing when the process is gone or its environment cannot be read: a
// process we may not look into is not one we may count as ours.
std::optional<SessionIdentity> sessionOf(pid_t pid);

// Same real user, and the same login session where the kernel gave both
// one; otherwise the same display and the same session bus.
bool sameSession(const SessionIdentity& own, const SessionIdentity& other);

// How the processes of one program are told: by the file they execute and,
// for a "#!" script, by the script's path in the slot of argv where the
// kernel puts it (after the interpreter and the shebang line's argument).
struct ProgramIdentity {
  FileIdentity executable;
  std::optional<FileIdentity> script;
  std::size_t scriptArgument = 0;
};

std::optional<ProgramIdentity> programIdentityOf(const std::string& instanceExecutable);

bool runsProgram(pid_t pid, const ProgramIdentity& program);

struct PinnedProcess {
  pid_t pid = 0;
  os::UniqueFd pidfd;  // may be empty where pidfds are not available
};

// `pid` pinned by a pidfd when it runs `program` in `session` (checked
// again once pinned, so it is no reused pid); never this process.
std::optional<PinnedProcess> pinIfInstance(pid_t pid, const ProgramIdentity& program,
                                           const SessionIdentity& session);

// Every such process.
std::vector<PinnedProcess> instancesOf(const ProgramIdentity& program, const SessionIdentity& session);

// The owners of several names (well-known or unique), over one connection.
std::vector<std::optional<pid_t>> busNameOwners(const std::string& address, const std::vector<std::string>& names,
                                                std::uint64_t timeoutMicroseconds = 500000);

// The calls made on a session bus by one launched process, seen as a bus
// monitor sees them: how a second copy of a single-instance program passes
// its launch to the running one (GApplication: org.gtk.Actions.DescribeAll,
// then Activate, Open or CommandLine on the application's ID; KDE's
// KDBusService: org.kde.KDBusService.CommandLine; Qt programs with a D-Bus
// single instance: a method of their own). A copy that only prints its
// version and exits calls nobody. Started before the launch, so no call is
// missed; only connections made after the start are looked at. Stops
// watching by itself after `lifetime`.
class BusCallWatch {
 public:
  // Nothing when the bus cannot be reached or does not let us monitor it
  // (BecomeMonitor is for the bus's own user and root).
  static std::unique_ptr<BusCallWatch> start(const std::string& address, std::chrono::milliseconds lifetime);
  ~BusCallWatch();
  BusCallWatch(const BusCallWatch&) = delete;
  BusCallWatch& operator=(const BusCallWatch&) = delete;

  // Once the launched process `pid` has ended: the names (well-known or
  // unique) that it, or a process it started, called; the bus daemon's own
  // excepted. Waits, at most `settle`, until the bus has passed on what was
  // sent before now.
  std::vector<std::string> namesCalledBy(pid_t pid, std::chrono::milliseconds settle);

 private:
  struct State;
  explicit BusCallWatch(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

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

}  // namespace mf
