// SPDX-License-Identifier: GPL-3.0-or-later
#include "apps_support.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf::apps {
namespace {

// The first line a child prints on `fd`, or nothing within `seconds`.
std::string firstLine(int fd, double seconds) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const auto got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return {};
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text.substr(0, text.find('\n'));
}

// Starts `argv` as `child`: a server that tells where it listens in the
// first line on its stdout. That line, or nothing.
std::string startAnnouncing(std::vector<std::string> argv, Child& child) {
  auto pipe = posix::makePipe();
  posix::SpawnRequest request;
  request.argv = std::move(argv);
  request.searchPath = true;
  request.stdoutFd = pipe.writeEnd.get();
  auto spawned = posix::spawnProcess(request);
  pipe.writeEnd.reset();
  if (spawned.pid < 0) return {};
  child = Child(spawned.pid);
  return firstLine(pipe.readEnd.get(), 30);
}

}  // namespace

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

void Child::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const bool ended = testing::waitFor([this] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5.0);
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

XServer::XServer() {
  const std::string number =
      startAnnouncing({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, server_);
  if (!number.empty()) display_ = ":" + number;
}

SessionBus::SessionBus() {
  address_ = startAnnouncing({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, daemon_);
}

Environment desktopEnvironment(const std::string& display, const std::string& busAddress, const std::string& home) {
  return {
      {"DISPLAY", display},
      {"DBUS_SESSION_BUS_ADDRESS", busAddress},
      {"XDG_CONFIG_HOME", home + "/config"},
      {"XDG_CACHE_HOME", home + "/cache"},
      {"XDG_DATA_HOME", home + "/data"},
      // Qt and GTK must draw on the X server, whatever the test runner says.
      {"QT_QPA_PLATFORM", "xcb"},
      {"GDK_BACKEND", "x11"},
  };
}

Child startOutsideTrace(const std::vector<std::string>& argv, const Environment& environment,
                        const std::string& identifier) {
  const int stream = sd_journal_stream_fd(identifier.c_str(), LOG_INFO, 0);
  posix::UniqueFd streamFd(stream >= 0 ? stream : -1);
  posix::SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.newSession = true;
  request.stdoutFd = streamFd.get();
  request.stderrFd = streamFd.get();
  for (const auto& [name, value] : environment) request.environmentOverrides.push_back(name + "=" + value);
  auto spawned = posix::spawnProcess(request);
  return Child(spawned.pid);
}

std::vector<JournalEntry> journalEntries(double since, double until) {
  char sinceText[64];
  char untilText[64];
  std::snprintf(sinceText, sizeof sinceText, "--since=@%.6f", since);
  std::snprintf(untilText, sizeof untilText, "--until=@%.6f", until);
  std::vector<JournalEntry> entries;
  JournalExportParser parser([&](JournalEntry&& entry) { entries.push_back(std::move(entry)); });
  parser.feed(testing::runProgram({"journalctl", "--no-pager", "--quiet", "--output=export", sinceText, untilText}).output);
  parser.finish();
  return entries;
}

double wallClockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

pid_t launchedPid(const std::string& message) {
  const std::string marker = " launched with PID ";
  const auto at = message.find(marker);
  if (at == std::string::npos) return 0;
  return static_cast<pid_t>(std::strtol(message.c_str() + at + marker.size(), nullptr, 10));
}

}  // namespace mf::apps
