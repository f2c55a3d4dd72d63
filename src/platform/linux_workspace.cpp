#include "platform/linux_workspace.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include "platform/application.h"
#include "platform/child_watcher.h"
#include "platform/log_stream.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"

namespace mf {
namespace {

using posix::UniqueFd;

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> identityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

// Whether `pid` runs the program identified by `target`. A script runs under
// its interpreter, so for scripts the script path in the command line counts.
bool runsProgram(pid_t pid, const FileIdentity& target, bool isScript) {
  const std::string proc = "/proc/" + std::to_string(pid);
  if (!isScript) return identityOf(proc + "/exe") == target;
  const auto args = posix::commandLineOf(pid);
  // The kernel starts a script as: interpreter [one optional argument] script ...
  for (std::size_t i = 1; i < args.size() && i <= 2; ++i) {
    const auto& arg = args[i];
    if (arg.empty()) continue;
    const std::string path = arg.front() == '/' ? arg : proc + "/cwd/" + arg;
    if (identityOf(path) == target) return true;
  }
  return false;
}

class PidfdTerminationObserver final : public TerminationObserver {
 public:
  PidfdTerminationObserver(std::uint64_t token, std::shared_ptr<bool> isRegistered)
      : token_(token), isRegistered_(std::move(isRegistered)) {}
  ~PidfdTerminationObserver() override {
    *isRegistered_ = false;  // a callback already queued must not run either
    ChildWatcher::shared().unwatch(token_);
  }

 private:
  std::uint64_t token_;
  std::shared_ptr<bool> isRegistered_;  // read and written on the main thread only
};

}  // namespace

LinuxRunningApplication::LinuxRunningApplication(std::int32_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

LinuxRunningApplication::~LinuxRunningApplication() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool LinuxRunningApplication::terminate() {
  if (pid_ <= 0 || pid_ == ::getpid()) return false;
  if (pidfd_ >= 0) return posix::pidfdSendSignal(pidfd_, SIGTERM) == 0;
  auto pidfd = posix::pidfdOpen(pid_);
  return pidfd.valid() && posix::pidfdSendSignal(pidfd.get(), SIGTERM) == 0;
}

LinuxWorkspace::LinuxWorkspace(MainQueue& mainQueue) : LinuxWorkspace(mainQueue, Options{}) {}

LinuxWorkspace::LinuxWorkspace(MainQueue& mainQueue, Options options) : mainQueue_(mainQueue), options_(options) {}

LinuxWorkspace::~LinuxWorkspace() {
  std::lock_guard lock(mutex_);
  for (auto& weak : sinks_) {
    if (auto slot = weak.lock()) slot->close();
  }
}

bool LinuxWorkspace::isApplication(const std::string& path) { return mf::isApplication(path); }

std::string LinuxWorkspace::bundleIdentifier(const std::string& path) {
  if (!mf::isApplication(path)) return {};
  auto resolved = resolveApplication(path);
  if (!resolved.target) return {};
  std::lock_guard lock(mutex_);
  pathsByIdentifier_[resolved.target->identifier] = path;
  return resolved.target->identifier;
}

void LinuxWorkspace::openApplication(const std::string& path, const LaunchOptions& options,
                                     LaunchCompletion completion) {
  auto& watcher = ChildWatcher::shared();
  auto fail = [&](std::string description) {
    watcher.run([completion = std::move(completion), description = std::move(description)] {
      completion(description, nullptr);
    });
  };

  auto resolved = resolveApplication(path);
  if (!resolved.target) {
    fail(resolved.reason);
    return;
  }
  const ApplicationTarget& target = *resolved.target;
  {
    std::lock_guard lock(mutex_);
    pathsByIdentifier_[target.identifier] = path;
  }

  posix::SpawnRequest request;
  request.argv = target.argv;
  // A desktop Exec program not found in PATH stays a bare name; let the
  // spawn report it as the system would.
  request.searchPath = target.argv.front().find('/') == std::string::npos;
  request.workingDirectory = target.workingDirectory;
  request.newSession = true;

  posix::Pipe capture;
  UniqueFd journalStream;
  std::shared_ptr<SinkSlot> slot;
  if (options.directOutput) {
    capture = posix::makePipe();
    if (!capture.readEnd.valid()) {
      fail(posix::errorText(errno));
      return;
    }
    request.stdoutFd = request.stderrFd = capture.writeEnd.get();
    slot = std::make_shared<SinkSlot>(options.directOutput);
  } else if (options_.journalStreams) {
    // What desktop launchers do: the target's output lands in the journal
    // under its name, where the log stream picks it up.
    const int fd = sd_journal_stream_fd(journalIdentifier(target.name).c_str(), LOG_INFO, 0);
    if (fd >= 0) {
      journalStream.reset(fd);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      request.stdoutFd = request.stderrFd = fd;
    }
  }

  auto child = posix::spawnProcess(request);
  capture.writeEnd.reset();
  journalStream.reset();
  if (child.pid < 0) {
    fail(posix::errorText(child.error));
    return;
  }
  const int ownPidfd = child.pidfd.valid() ? ::fcntl(child.pidfd.get(), F_DUPFD_CLOEXEC, 3) : -1;
  auto application = std::make_shared<LinuxRunningApplication>(child.pid, ownPidfd);
  // The completion is queued before the child is adopted, so none of its
  // output or its end can overtake the launch report.
  watcher.run([completion = std::move(completion), application] { completion(std::nullopt, application); });
  if (slot) {
    std::lock_guard lock(mutex_);
    std::erase_if(sinks_, [](const auto& weak) { return weak.expired(); });
    sinks_.push_back(slot);
  }
  watcher.adopt(child.pid, std::move(child.pidfd), std::move(capture.readEnd), std::move(slot));
}

std::string LinuxWorkspace::instanceExecutableFor(const std::string& bundleIdentifier) {
  if (bundleIdentifier.empty()) return {};
  std::string path;
  if (bundleIdentifier.front() == '/') {
    path = bundleIdentifier;
  } else {
    {
      std::lock_guard lock(mutex_);
      if (auto it = pathsByIdentifier_.find(bundleIdentifier); it != pathsByIdentifier_.end()) path = it->second;
    }
    if (path.empty()) path = findDesktopFile(bundleIdentifier).value_or("");
  }
  if (path.empty()) return {};
  auto resolved = resolveApplication(path);
  return resolved.target ? resolved.target->instanceExecutable : std::string();
}

std::vector<std::shared_ptr<RunningApplication>> LinuxWorkspace::runningApplications(
    const std::string& bundleIdentifier) {
  std::vector<std::shared_ptr<RunningApplication>> found;
  const std::string executable = instanceExecutableFor(bundleIdentifier);
  if (executable.empty()) return found;
  const auto target = identityOf(executable);
  if (!target) return found;
  const bool isScript = isScriptFile(executable);

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
  const pid_t self = ::getpid();
  for (pid_t pid : pids) {
    if (pid == self || !runsProgram(pid, *target, isScript)) continue;
    // Pin the process, then look again: the pid may have been reused between.
    auto pidfd = posix::pidfdOpen(pid);
    if (!pidfd.valid() || !runsProgram(pid, *target, isScript)) continue;
    found.push_back(std::make_shared<LinuxRunningApplication>(pid, pidfd.release()));
  }
  return found;
}

std::unique_ptr<TerminationObserver> LinuxWorkspace::addTerminationObserver(std::int32_t pid,
                                                                            TerminationCallback callback) {
  auto isRegistered = std::make_shared<bool>(true);
  MainQueue& mainQueue = mainQueue_;
  const auto token = ChildWatcher::shared().watch(
      pid, [&mainQueue, isRegistered, pid, callback = std::move(callback)](std::optional<ExitStatus> status) {
        mainQueue.post([isRegistered, pid, callback, status] {
          if (!*isRegistered) return;
          TerminationNotification notification;
          notification.application = std::make_shared<LinuxRunningApplication>(pid);
          notification.exitStatus = status;
          callback(notification);
        });
      });
  return std::make_unique<PidfdTerminationObserver>(token, std::move(isRegistered));
}

}  // namespace mf
