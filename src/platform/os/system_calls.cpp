// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/system_calls.h"

#include <algorithm>
#include <atomic>
#include <sys/prctl.h>
#include <charconv>
#include <cstdio>
#include <csignal>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdlib>
#include <sys/ioctl.h>
#include <string_view>
#include <termios.h>

namespace mf::os {

namespace {
thread_local ReadCall currentRead = [](int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); };
}  // namespace

ssize_t readSome(int fd, void* buffer, std::size_t size) {
  return retryOnEintr([&] { return currentRead(fd, buffer, size); });
}

ScopedReadCall::ScopedReadCall(ReadCall call) : previous_(std::exchange(currentRead, call)) {}
ScopedReadCall::~ScopedReadCall() { currentRead = previous_; }

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    // No retry: on Linux the descriptor is gone even when close() reports EINTR.
    ::close(fd_);
  }
  fd_ = fd;
}

Pipe makePipe() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

PseudoTerminal openPseudoTerminal(unsigned short columns, unsigned short rows) {
  PseudoTerminal pty;
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.valid()) return pty;
  char name[128];
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
      ::ptsname_r(master.get(), name, sizeof name) != 0) {
    return pty;
  }
  UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.valid()) return pty;
  termios modes{};
  if (::tcgetattr(slave.get(), &modes) != 0) return pty;
  ::cfmakeraw(&modes);
  if (::tcsetattr(slave.get(), TCSANOW, &modes) != 0) return pty;
  winsize size{};
  size.ws_col = columns;
  size.ws_row = rows;
  ::ioctl(slave.get(), TIOCSWINSZ, &size);
  pty.master = std::move(master);
  pty.slave = std::move(slave);
  return pty;
}

UniqueFd makeWakeFd() { return UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

void signalWakeFd(int fd) {
  const std::uint64_t one = 1;
  // A full counter (EAGAIN) already means "wake up".
  [[maybe_unused]] auto written = retryOnEintr([&] { return ::write(fd, &one, sizeof one); });
}

void drainWakeFd(int fd) {
  std::uint64_t value = 0;
  [[maybe_unused]] auto got = retryOnEintr([&] { return ::read(fd, &value, sizeof value); });
}

UniqueFd pidfdOpen(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

int pidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

std::string errorText(int error) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("error ") + std::to_string(error);
}

std::vector<pid_t> processIds() {
  std::vector<pid_t> pids;
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* entry = ::readdir(proc)) {
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
      pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

namespace {

// The space-separated fields of /proc/<pid>/stat after "pid (comm)", the
// first of them (the state) at index 0; comm may hold anything, so the
// fields start after its last ')'.
std::optional<std::vector<std::string_view>> statFields(pid_t pid, char (&buffer)[1024],
                                                        std::string* name = nullptr) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  const auto got = readSome(fd.get(), buffer, sizeof buffer);
  if (got <= 0) return std::nullopt;
  const std::string_view stat(buffer, static_cast<std::size_t>(got));
  const auto close = stat.rfind(')');
  const auto open = stat.find('(');
  if (close == std::string_view::npos || open == std::string_view::npos || open > close) return std::nullopt;
  if (name) *name = stat.substr(open + 1, close - open - 1);
  std::vector<std::string_view> fields;
  std::size_t begin = stat.find_first_not_of(" \n", close + 1);
  while (begin != std::string_view::npos) {
    auto end = stat.find_first_of(" \n", begin);
    if (end == std::string_view::npos) end = stat.size();
    fields.push_back(stat.substr(begin, end - begin));
    begin = stat.find_first_not_of(" \n", end);
  }
  return fields;
}

template <typename Number>
std::optional<Number> numberIn(std::string_view text) {
  Number value{};
  const auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || last != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<unsigned long long> statFieldOf(pid_t pid, int field) {
  char buffer[1024];
  const auto fields = statFields(pid, buffer);
  const auto index = static_cast<std::size_t>(field - 3);
  if (!fields || field < 4 || index >= fields->size()) return std::nullopt;
  return numberIn<unsigned long long>((*fields)[index]);
}

std::optional<ProcessStat> processStatOf(pid_t pid) {
  // proc(5) numbering: 3 state, 4 ppid, 5 pgrp, 6 session, 22 starttime.
  char buffer[1024];
  std::string name;
  const auto fields = statFields(pid, buffer, &name);
  if (!fields || fields->size() < 20 || (*fields)[0].empty()) return std::nullopt;
  const auto parent = numberIn<pid_t>((*fields)[1]);
  const auto group = numberIn<pid_t>((*fields)[2]);
  const auto session = numberIn<pid_t>((*fields)[3]);
  const auto start = numberIn<unsigned long long>((*fields)[19]);
  if (!parent || !group || !session || !start) return std::nullopt;
  return ProcessStat{std::move(name), (*fields)[0].front(), *parent, *group, *session, *start};
}

std::optional<std::string> readProcFile(const std::string& path, std::size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char buffer[8192];
  for (;;) {
    const auto got = readSome(fd.get(), buffer, sizeof buffer);
    if (got < 0) return std::nullopt;
    if (got == 0 || text.size() >= limit) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(task.c_str());
  if (!dir) return children;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    // A parent of a few hundred fills more than one read.
    const auto text = readProcFile(task + "/" + entry->d_name + "/children", std::size_t{1} << 24);
    if (!text) continue;
    const char* at = text->data();
    const char* end = at + text->size();
    while (at < end) {
      pid_t child = 0;
      const auto [next, error] = std::from_chars(at, end, child);
      if (error == std::errc() && child > 0) children.push_back(child);
      at = next + 1;
    }
  }
  ::closedir(dir);
  return children;
}

namespace {
std::atomic<bool> subreaper{false};
}  // namespace

void becomeChildSubreaper() {
  if (subreaper.exchange(true)) return;
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) subreaper.store(false);
}

bool isChildSubreaper() { return subreaper.load(); }

std::vector<std::string> commandLineOf(pid_t pid) {
  std::vector<std::string> args;
  const std::string text = readProcFile("/proc/" + std::to_string(pid) + "/cmdline", 65536).value_or("");
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    args.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

}  // namespace mf::os
