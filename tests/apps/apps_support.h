// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Real desktop programs under a real X server, a real session bus and the
// real journal: what the tests in this folder start for themselves.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "platform/journal_export.h"
#include "platform/posix_io.h"

namespace mf::apps {

using Environment = std::vector<std::pair<std::string, std::string>>;

// A child the test started and ends (SIGTERM, then SIGKILL) and reaps.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(); }
  pid_t pid() const { return pid_; }
  void stop();

 private:
  pid_t pid_ = -1;
};

// Xvfb on a display number it picks itself (-displayfd).
class XServer {
 public:
  XServer();
  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

 private:
  Child server_;
  std::string display_;
};

// A dbus-daemon --session of our own.
class SessionBus {
 public:
  SessionBus();
  bool ok() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  Child daemon_;
  std::string address_;
};

// A bus address nobody listens on: the program has no session bus, and
// cannot start one behind our back (X11 autolaunch) either.
inline constexpr const char* kNoSessionBus = "unix:path=/nonexistent/marrowfield/session-bus";

// The environment a desktop program gets in these tests: the display, the
// bus, and configuration and cache folders of its own under `home`.
Environment desktopEnvironment(const std::string& display, const std::string& busAddress, const std::string& home);

// Starts `argv` outside any trace, as another launcher would, with stdout and
// stderr on a journal stream of its own under `identifier`.
Child startOutsideTrace(const std::vector<std::string>& argv, const Environment& environment,
                        const std::string& identifier);

// Every journal entry written between the two wall-clock times.
std::vector<JournalEntry> journalEntries(double since, double until);

double wallClockNow();

// The pid in "<name> launched with PID <n>", or 0.
pid_t launchedPid(const std::string& message);

}  // namespace mf::apps
