// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ssh_launcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/system_calls.h"

extern char** environ;

namespace mf {
namespace {

// How long the other side has to end its trace and what it launched once
// its input ended and nobody here waits for it any more.
constexpr double kDetachedEndSeconds = 15.0;

int statusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// Splits a stream into lines; the last one may come without its line feed.
class LineBuffer {
 public:
  std::vector<std::string> add(const char* data, std::size_t size) {
    pending_.append(data, size);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(pending_.substr(start, end - start));
    }
    pending_.erase(0, start);
    return lines;
  }
  std::vector<std::string> end() {
    std::vector<std::string> lines;
    if (!pending_.empty()) lines.push_back(std::exchange(pending_, {}));
    return lines;
  }

 private:
  std::string pending_;
};

}  // namespace

// One ssh process and what its reader thread shares with the connection.
struct SshLauncher::Link {
  std::mutex mutex;
  RemoteHandlers handlers;  // emptied when nobody listens any more
  pid_t pid = -1;
  os::UniqueFd input;    // ssh's stdin: the other side's input
  os::UniqueFd output, errors;
  bool ended = false;       // reaped
  bool finished = false;    // the thread is done
  std::optional<std::chrono::steady_clock::time_point> detachedAt;

  void closeInput() {
    std::lock_guard lock(mutex);
    input.reset();
  }
  void cut() {
    std::lock_guard lock(mutex);
    if (!ended && pid > 0) ::kill(pid, SIGTERM);
  }

  // The reader thread: every line to its handler until ssh is gone.
  void run() {
    LineBuffer outLines, errLines;
    const auto deliver = [&](int which, std::vector<std::string> lines) {
      std::lock_guard lock(mutex);
      if (which == 0) {
        if (handlers.output && !lines.empty()) handlers.output(std::move(lines));
      } else if (handlers.error) {
        for (auto& line : lines) handlers.error(std::move(line));
      }
    };
    char buffer[65536];
    int status = -1;
    bool cutForTime = false;
    while (output.valid() || errors.valid()) {
      {
        std::lock_guard lock(mutex);
        if (detachedAt && !cutForTime &&
            std::chrono::steady_clock::now() - *detachedAt > std::chrono::duration<double>(kDetachedEndSeconds)) {
          cutForTime = true;
          ::kill(pid, SIGTERM);
        }
      }
      pollfd ready[2] = {{output.valid() ? output.get() : -1, POLLIN, 0}, {errors.valid() ? errors.get() : -1, POLLIN, 0}};
      if (::poll(ready, 2, 100) < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        if (ready[i].fd < 0 || ready[i].revents == 0) continue;
        auto& fd = i == 0 ? output : errors;
        auto& lines = i == 0 ? outLines : errLines;
        const auto got = ::read(fd.get(), buffer, sizeof buffer);
        if (got > 0) deliver(i, lines.add(buffer, static_cast<std::size_t>(got)));
        else if (got == 0 || errno != EINTR) fd.reset();
      }
      // ssh gone, though a process it left behind (a shared connection's
      // master) may hold the pipes: what they hold now is all there is.
      int waitStatus = 0;
      if (status < 0 && ::waitpid(pid, &waitStatus, WNOHANG) == pid) {
        status = statusOf(waitStatus);
        {
          std::lock_guard lock(mutex);
          ended = true;
        }
        for (int i = 0; i < 2; ++i) {
          auto& fd = i == 0 ? output : errors;
          auto& lines = i == 0 ? outLines : errLines;
          if (!fd.valid()) continue;
          ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
          ssize_t got;
          while ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0) deliver(i, lines.add(buffer, static_cast<std::size_t>(got)));
          fd.reset();
        }
      }
    }
    deliver(0, outLines.end());
    deliver(1, errLines.end());
    if (status < 0) {
      int waitStatus = 0;
      if (os::retryOnEintr([&] { return ::waitpid(pid, &waitStatus, 0); }) == pid) status = statusOf(waitStatus);
    }
    std::lock_guard lock(mutex);
    ended = true;
    input.reset();
    if (handlers.ended) handlers.ended(status);
    handlers = {};
    finished = true;
  }
};

namespace {

class SshConnection final : public RemoteConnection {
 public:
  explicit SshConnection(std::shared_ptr<SshLauncher::Link> link) : link_(std::move(link)) {}
  ~SshConnection() override {
    std::lock_guard lock(link_->mutex);
    link_->handlers = {};
    link_->input.reset();
    link_->detachedAt = std::chrono::steady_clock::now();
  }
  SshConnection(const SshConnection&) = delete;
  SshConnection& operator=(const SshConnection&) = delete;
  void stop() override { link_->closeInput(); }
  void cut() override { link_->cut(); }

 private:
  std::shared_ptr<SshLauncher::Link> link_;
};

}  // namespace

std::unique_ptr<RemoteConnection> SshLauncher::connect(const std::string& host, const std::string& command,
                                                       RemoteHandlers handlers, std::string& error) {
  // -T: the stream needs no terminal. "--": a host can never be read as an
  // option. The rest of the user's configuration is theirs.
  const std::vector<std::string> args = {"ssh", "-T", "-o", "BatchMode=yes", "-o",
                                         "ConnectTimeout=" + std::to_string(kSshConnectTimeoutSeconds), "--", host,
                                         command};
  auto in = os::makePipe();
  auto out = os::makePipe();
  auto err = os::makePipe();
  if (!in.readEnd.valid() || !out.readEnd.valid() || !err.readEnd.valid()) {
    error = "cannot run ssh: " + os::errorText(errno);
    return nullptr;
  }
  // In a session of its own: a Ctrl-C at a terminal is the caller's to pass
  // on, not ssh's to die of.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.readEnd.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.writeEnd.get(), STDERR_FILENO);
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  auto link = std::make_shared<Link>();
  const int failed = posix_spawnp(&link->pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    error = "cannot run ssh: " + os::errorText(failed) +
            (failed == ENOENT ? " (install the OpenSSH client, openssh-client)" : "");
    return nullptr;
  }
  link->handlers = std::move(handlers);
  link->input = std::move(in.writeEnd);
  link->output = std::move(out.readEnd);
  link->errors = std::move(err.readEnd);
  std::lock_guard lock(mutex_);
  // Threads of connections that ended are joined here, so they do not pile up.
  std::erase_if(links_, [](auto& entry) {
    bool ended = false;
    {
      std::lock_guard linkLock(entry.first->mutex);
      ended = entry.first->finished;
    }
    if (ended) entry.second.join();
    return ended;
  });
  links_.emplace_back(link, std::thread([link] { link->run(); }));
  return std::make_unique<SshConnection>(link);
}

SshLauncher::~SshLauncher() {
  std::lock_guard lock(mutex_);
  for (auto& [link, thread] : links_) {
    link->closeInput();
    link->cut();
    thread.join();
  }
}

}  // namespace mf
