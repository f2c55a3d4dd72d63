// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Real desktop programs under a real X server, a real session bus and the
// real journal: what the tests in this folder start for themselves.

#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "platform/journal_entry.h"

namespace mf::apps {

using Environment = std::vector<std::pair<std::string, std::string>>;

// A child the test started, ended (SIGTERM, then SIGKILL) and reaped with
// this object.
class Child {
 public:
  explicit Child(pid_t pid = -1) : pid_(pid) {}
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&&) = delete;
  ~Child();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// A server that tells where it listens in the first line on its stdout:
// Xvfb on a display number it picks itself, a dbus-daemon --session.
class Server {
 public:
  explicit Server(std::vector<std::string> argv, const std::string& prefix = "");
  bool ok() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  std::optional<Child> child_;
  std::string address_;
};

struct XServer : Server {
  XServer() : Server({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, ":") {}
};
// The services it starts for the test's programs (portals, the
// accessibility registry) outlive it; they are ended with it, so none holds
// the test's output open or stays behind.
struct SessionBus : Server {
  SessionBus() : Server({"dbus-daemon", "--session", "--nofork", "--print-address=1"}) {}
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus();
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

}  // namespace mf::apps
