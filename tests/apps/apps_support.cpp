// SPDX-License-Identifier: GPL-3.0-or-later
#include "apps_support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

#include <fstream>

namespace mf::apps {

Child::~Child() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!testing::waitFor([this] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5.0)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

Server::Server(std::vector<std::string> argv, const std::string& prefix) {
  auto pipe = os::makePipe();
  os::SpawnRequest request;
  request.argv = std::move(argv);
  request.searchPath = true;
  request.stdoutFd = pipe.writeEnd.get();
  child_.emplace(os::spawnProcess(request).pid);
  pipe.writeEnd.reset();
  std::string text;
  testing::waitFor(
      [&] {
        pollfd ready{pipe.readEnd.get(), POLLIN, 0};
        char buffer[256];
        const auto got = ::poll(&ready, 1, 100) > 0 ? ::read(pipe.readEnd.get(), buffer, sizeof buffer) : -1;
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
        return got == 0 || text.find('\n') != std::string::npos;
      },
      30);
  if (text.find('\n') != std::string::npos) address_ = prefix + text.substr(0, text.find('\n'));
}

SessionBus::~SessionBus() {
  if (!ok()) return;
  // What still runs with this bus as its session bus was started by it: the
  // test's own programs have ended before the bus goes.
  const std::string mark = "DBUS_SESSION_BUS_ADDRESS=" + address().substr(0, address().find(','));
  const auto started = [&] {
    std::vector<pid_t> found;
    for (const pid_t pid : os::processIds()) {
      std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
      for (std::string entry; std::getline(in, entry, '\0');) if (entry.starts_with(mark)) found.push_back(pid);
    }
    return found;
  };
  for (const int signal : {SIGTERM, SIGKILL}) {
    const auto left = started();
    if (left.empty()) return;
    for (const pid_t pid : left) ::kill(pid, signal);
    if (testing::waitFor([&] { return started().empty(); }, 5.0)) return;
  }
}

Environment desktopEnvironment(const std::string& display, const std::string& busAddress, const std::string& home) {
  return {{"DISPLAY", display}, {"DBUS_SESSION_BUS_ADDRESS", busAddress}, {"XDG_CONFIG_HOME", home + "/config"},
          {"XDG_CACHE_HOME", home + "/cache"}, {"XDG_DATA_HOME", home + "/data"},
          // Qt and GTK must draw on the X server, whatever the test runner says.
          {"QT_QPA_PLATFORM", "xcb"}, {"GDK_BACKEND", "x11"}};
}

Child startOutsideTrace(const std::vector<std::string>& argv, const Environment& environment,
                        const std::string& identifier) {
  os::UniqueFd stream(std::max(sd_journal_stream_fd(identifier.c_str(), LOG_INFO, 0), -1));
  os::SpawnRequest request;
  request.argv = argv;
  request.searchPath = request.newSession = true;
  request.stdoutFd = request.stderrFd = stream.get();
  for (const auto& [name, value] : environment) request.environmentOverrides.push_back(name + "=" + value);
  return Child(os::spawnProcess(request).pid);
}

std::vector<JournalEntry> journalEntries(double since, double until) {
  return testing::parseJournalExport(testing::runProgram({"journalctl", "--no-pager", "--quiet", "--output=export",
                                                          "--since=@" + std::to_string(since),
                                                          "--until=@" + std::to_string(until)}).output);
}

double wallClockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace mf::apps
