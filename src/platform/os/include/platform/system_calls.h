// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace mf::os {

// Retries the call while it fails with EINTR, so no caller forgets one.
template <typename Call>
auto retryOnEintr(Call&& call) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

// read(2) with EINTR retried, through the read call this thread uses: the
// system's, unless a test put another one in place (ScopedReadCall) to fail
// as the kernel may, with EINTR, EAGAIN, a short read or EIO, which real
// descriptors seldom do on demand.
using ReadCall = ssize_t (*)(int fd, void* buffer, std::size_t size);
ssize_t readSome(int fd, void* buffer, std::size_t size);

// Makes readSome on this thread call `call` while it lives.
class ScopedReadCall {
 public:
  explicit ScopedReadCall(ReadCall call);
  ~ScopedReadCall();
  ScopedReadCall(const ScopedReadCall&) = delete;
  ScopedReadCall& operator=(const ScopedReadCall&) = delete;

 private:
  ReadCall previous_;
};

// Owns one file descriptor; closes it once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Both ends close-on-exec. Empty ends and errno set on failure.
Pipe makePipe();
// A pseudo-terminal pair, both ends close-on-exec and neither anyone's
// controlling terminal (O_NOCTTY). The line discipline is raw: no CR is
// added to a LF, no echo, no signals from input. `columns` x `rows` is the
// window size a program sees. Empty ends and errno set on failure.
struct PseudoTerminal {
  UniqueFd master;
  UniqueFd slave;
};
PseudoTerminal openPseudoTerminal(unsigned short columns, unsigned short rows);

// A non-blocking, close-on-exec eventfd used to wake a poll() loop.
UniqueFd makeWakeFd();
void signalWakeFd(int fd);
void drainWakeFd(int fd);

// The pidfd system calls have no usable glibc 2.36 wrappers in C++.
UniqueFd pidfdOpen(pid_t pid);
// 0 on delivery, otherwise -1 with errno.
int pidfdSendSignal(int pidfd, int signal);

// strerror() text for an errno value, thread-safe.
std::string errorText(int error);

// Every process id in /proc, ascending.
std::vector<pid_t> processIds();

// Field `field` of /proc/<pid>/stat as proc(5) numbers it, for the unsigned
// number fields from 4 on (4 is the parent, 22 the start in clock ticks
// since boot); nothing when the process is gone or the field is not there.
std::optional<unsigned long long> statFieldOf(pid_t pid, int field);

// The fields of /proc/<pid>/stat that place a process in a tree.
struct ProcessStat {
  std::string name;               // comm: the executable's name, cut to 15 bytes
  char state = '?';               // R, S, D, Z (zombie), ...
  pid_t parent = 0;
  pid_t processGroup = 0;
  pid_t session = 0;
  unsigned long long startTicks = 0;  // since boot: with the pid, names one process for good
};
std::optional<ProcessStat> processStatOf(pid_t pid);

// The whole of a small file of /proc, read to its end or past `limit`
// bytes; nothing when it cannot be opened or read.
std::optional<std::string> readProcFile(const std::string& path, std::size_t limit);

// The direct children of `pid`, from each of its threads' lists in /proc.
std::vector<pid_t> childrenOf(pid_t pid);

// Makes this process the reaper of its descendants' orphans, once, so that
// they stay below it instead of going to init. Whoever calls it must reap
// them (ChildWatcher does).
void becomeChildSubreaper();
bool isChildSubreaper();

// The command line of `pid` from /proc, one entry per argument (at most about
// 64 KiB of it); empty when the process is gone or cannot be read.
std::vector<std::string> commandLineOf(pid_t pid);

}  // namespace mf::os
