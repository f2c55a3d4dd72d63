#include "platform/posix_io.h"

#include <algorithm>
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

namespace mf::posix {

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

std::optional<unsigned long long> statFieldOf(pid_t pid, int field) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  char buffer[1024];
  const auto got = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
  if (got <= 0) return std::nullopt;
  const std::string_view stat(buffer, static_cast<std::size_t>(got));
  // "pid (comm) state ppid ...": comm may hold anything, so count from its last ')'.
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::size_t begin = close + 1;
  for (int index = 3; index <= field; ++index) {
    begin = stat.find_first_not_of(" \n", begin);
    if (begin == std::string_view::npos) return std::nullopt;
    auto end = stat.find_first_of(" \n", begin);
    if (end == std::string_view::npos) end = stat.size();
    if (index == field) {
      unsigned long long value = 0;
      const auto [last, error] = std::from_chars(stat.data() + begin, stat.data() + end, value);
      if (error != std::errc() || last != stat.data() + end) return std::nullopt;
      return value;
    }
    begin = end;
  }
  return std::nullopt;
}

std::vector<std::string> commandLineOf(pid_t pid) {
  UniqueFd fd(::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<std::string> args;
  if (!fd.valid()) return args;
  std::string text;
  char buffer[4096];
  for (;;) {
    const auto got = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (got <= 0 || text.size() > 65536) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    args.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

}  // namespace mf::posix
