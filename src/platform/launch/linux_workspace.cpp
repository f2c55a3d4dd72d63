// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux_workspace.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include "platform/application.h"
#include "platform/child_watcher.h"
#include "platform/instances.h"
#include "platform/journal_forwarder.h"
#include "platform/launch_failure.h"
#include "platform/log_stream.h"
#include "platform/user_scope.h"
#include "platform/system_calls.h"
#include "platform/fork_records.h"
#include "platform/spawn.h"

namespace mf {
namespace {

using os::UniqueFd;

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

// Qt's default message pattern with the syslog level in front, which the
// target's journal stream reads as the line's priority.
constexpr const char* kQtLevelPattern =
    "%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}%{if-critical}<3>%{endif}"
    "%{if-fatal}<2>%{endif}%{if-category}%{category}: %{endif}%{message}";

// When a process started, in clock ticks since boot.
constexpr int kStartTicksField = 22;

os::SpawnRequest spawnRequestFor(const ApplicationTarget& target, const LaunchOptions& options) {
  os::SpawnRequest request;
  request.argv = target.argv;
  request.argv.insert(request.argv.end(), options.arguments.begin(), options.arguments.end());
  // A desktop Exec program not found in PATH stays a bare name; let the
  // spawn report it as the system would.
  request.searchPath = target.argv.front().find('/') == std::string::npos;
  request.workingDirectory = target.workingDirectory;
  request.newSession = true;
  for (const auto& [name, value] : options.environment) request.environmentOverrides.push_back(name + "=" + value);
  return request;
}

// The target's standard output and error, opened before the spawn; the
// child's ends are closed once it has its copies.
struct TargetStreams {
  os::PseudoTerminal terminal;
  os::Pipe stdoutPipe;
  os::Pipe stderrPipe;
  UniqueFd journalStream;

  // A pseudo-terminal, so the target's stdio flushes every line as it does
  // on a terminal instead of holding a buffer that dies with a crash. It is
  // not the target's controlling terminal (it runs in a session of its own
  // and the terminal is opened O_NOCTTY), so our going away sends it no
  // SIGHUP; its writes then fail with EIO, quietly. A pipe only when no
  // terminal can be had. Returns the reason when neither can.
  std::optional<std::string> openStdout(os::SpawnRequest& request) {
    terminal = os::openPseudoTerminal(kTerminalColumns, kTerminalRows);
    if (terminal.master.valid()) {
      request.stdoutFd = terminal.slave.get();
      return std::nullopt;
    }
    stdoutPipe = os::makePipe();
    if (!stdoutPipe.readEnd.valid()) return os::errorText(errno);
    request.stdoutFd = stdoutPipe.writeEnd.get();
    return std::nullopt;
  }

  // A journal stream under the target's name, as desktop launchers give it
  // (GLib then logs structured entries to the journal), read back by the log
  // stream; otherwise a pipe we read.
  std::optional<std::string> openStderr(os::SpawnRequest& request, const LaunchOptions& options,
                                        const std::string& identifier, bool journalReachable) {
    if (options.stderrToJournal && journalReachable) {
      // With the level prefix on, as systemd gives its services: a line that
      // starts with "<4>" is stored at that priority. Qt (built without
      // journal support, as Debian's is) writes its warnings to stderr as
      // bare text; told to prefix each with its level, they reach the
      // journal, and the trace, as the warnings they are. Only when the user
      // has not chosen a message pattern of their own, and unless the launch
      // asks for none.
      const bool patternChosen =
          !options.qtLevelPrefix || std::getenv("QT_MESSAGE_PATTERN") != nullptr ||
          std::any_of(options.environment.begin(), options.environment.end(),
                      [](const auto& variable) { return variable.first == "QT_MESSAGE_PATTERN"; });
      const int fd = sd_journal_stream_fd(identifier.c_str(), LOG_INFO, patternChosen ? 0 : 1);
      if (fd >= 0) {
        journalStream.reset(fd);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        request.stderrFd = fd;
        if (!patternChosen) {
          request.environmentOverrides.push_back(std::string("QT_MESSAGE_PATTERN=") + kQtLevelPattern);
        }
        return std::nullopt;
      }
    }
    stderrPipe = os::makePipe();
    if (!stderrPipe.readEnd.valid()) return os::errorText(errno);
    request.stderrFd = stderrPipe.writeEnd.get();
    return std::nullopt;
  }

  void closeChildEnds() {
    terminal.slave.reset();
    stdoutPipe.writeEnd.reset();
    stderrPipe.writeEnd.reset();
    journalStream.reset();
  }

  // Our ends, each with the pump that cuts it into lines.
  std::vector<ChildWatcher::Output> outputs(LineBatchSink stdoutSink, const LineBatchSink& stderrSink) {
    std::vector<ChildWatcher::Output> result;
    const LineInfo stdoutInfo{LineOrigin::standardOutput, LineInfo::kNoPriority};
    if (terminal.master.valid()) {
      result.push_back({std::move(terminal.master),
                        std::make_unique<ChunkPump>(LineBatcher::forTerminal(std::move(stdoutSink), stdoutInfo))});
    } else {
      result.push_back(
          {std::move(stdoutPipe.readEnd), std::make_unique<ChunkPump>(LineBatcher(std::move(stdoutSink), stdoutInfo))});
    }
    if (stderrPipe.readEnd.valid()) {
      result.push_back({std::move(stderrPipe.readEnd),
                        std::make_unique<ChunkPump>(LineBatcher(
                            stderrSink, LineInfo{LineOrigin::standardError, LineInfo::kNoPriority}))});
    }
    return result;
  }
};

std::string spawnFailureText(const os::SpawnRequest& request, const std::string& path,
                             const ApplicationTarget& target, int error) {
  // posix_spawn reports a missing working directory as it does a missing
  // program; say which of the two it was.
  const bool badDirectory = request.workingDirectory && ::access(request.workingDirectory->c_str(), X_OK) != 0;
  return badDirectory ? *request.workingDirectory + " (Path of " + path + "): " + os::errorText(error)
                      : describeSpawnFailure(target, error);
}

// The launch as the trace reports it, after the target went into a unit of
// its own where a user manager is there to make one.
LaunchedProcess placeLaunched(const ApplicationTarget& target, pid_t pid) {
  LaunchedProcess launched;
  launched.pid = pid;
  // A user manager files the whole tree under one unit; without one the log
  // stream follows the tree by itself.
  launched.unit =
      startApplicationScope(pid, target.kind == ApplicationTarget::Kind::desktopEntry ? target.identifier : target.name)
          .value_or("");
  return launched;
}

}  // namespace

std::optional<std::int32_t> instanceHandedOffTo(const LaunchRecord& launch) {
  if (launch.instanceExecutable.empty() || !launch.instanceAtLaunch) return std::nullopt;
  // A hand-off takes a moment; a program that ran a while and ended is not one.
  if (std::chrono::steady_clock::now() - launch.launchedAt > kHandOffWindow) return std::nullopt;
  const auto program = programIdentityOf(launch.instanceExecutable);
  if (!program) return std::nullopt;
  std::vector<std::string> names;
  if (launch.calls) {
    names = launch.calls->namesCalledBy(launch.pid, kHandOffSettle);
  } else if (!launch.desktopId.empty()) {
    names = {launch.desktopId};
  }
  const auto owners = busNameOwners(launch.session.sessionBus, names);
  for (const auto& owner : owners) {
    if (!owner || *owner == launch.pid) continue;
    // The owner must be the application itself in the launch's session,
    // and must have been there before the launch: none of the launch's own
    // children can have taken its place.
    if (!pinIfInstance(*owner, *program, launch.session)) continue;
    const auto ticks = os::statFieldOf(*owner, kStartTicksField);
    if (ticks && *ticks <= launch.startTicks) return *owner;
  }
  return std::nullopt;
}

LinuxRunningApplication::LinuxRunningApplication(std::int32_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

LinuxRunningApplication::~LinuxRunningApplication() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool LinuxRunningApplication::terminate() {
  if (pid_ <= 0 || pid_ == ::getpid()) return false;
  if (pidfd_ >= 0) return os::pidfdSendSignal(pidfd_, SIGTERM) == 0;
  auto pidfd = os::pidfdOpen(pid_);
  return pidfd.valid() && os::pidfdSendSignal(pidfd.get(), SIGTERM) == 0;
}

LinuxWorkspace::LinuxWorkspace(MainQueue& mainQueue) : LinuxWorkspace(mainQueue, Options{}) {}

LinuxWorkspace::LinuxWorkspace(MainQueue& mainQueue, Options options)
    : mainQueue_(mainQueue), options_(std::move(options)) {}

LinuxWorkspace::~LinuxWorkspace() = default;

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
    fail(describeResolutionFailure(path, resolved.reason));
    return;
  }
  const ApplicationTarget& target = *resolved.target;
  {
    std::lock_guard lock(mutex_);
    pathsByIdentifier_[target.identifier] = path;
  }

  os::SpawnRequest request = spawnRequestFor(target, options);
  const std::string identifier = journalIdentifier(target.name);
  const bool journalReachable = options_.journalStreams && !journalUnavailableReason(options_.journalSocket);
  TargetStreams streams;
  if (auto error = streams.openStdout(request)) {
    fail(std::move(*error));
    return;
  }
  if (auto error = streams.openStderr(request, options, identifier, journalReachable)) {
    fail(std::move(*error));
    return;
  }

  LaunchRecord record = prepareLaunch(target, ownSession(options.environment));
  // Recorded from the spawn on, so the log stream knows every helper of the
  // tree, however short its life, where the kernel lets this user see forks.
  std::shared_ptr<os::ForkRecorder> forks;
  auto child = os::ForkRecorder::spawnRecorded(request, forks);
  streams.closeChildEnds();
  if (child.pid < 0) {
    fail(spawnFailureText(request, path, target, child.error));
    return;
  }

  LaunchedProcess launched = placeLaunched(target, child.pid);
  launched.witness = std::move(forks);
  rememberLaunch(child.pid, std::move(record));
  if (options.spawned) options.spawned(launched);

  const int ownPidfd = child.pidfd.valid() ? ::fcntl(child.pidfd.get(), F_DUPFD_CLOEXEC, 3) : -1;
  auto application = std::make_shared<LinuxRunningApplication>(child.pid, ownPidfd);
  // The completion is queued before the child is adopted, so none of its
  // output or its end can overtake the launch report.
  watcher.run([completion = std::move(completion), application] { completion(std::nullopt, application); });

  // Read to the end whoever still listens, so the target never blocks on a
  // full terminal or pipe nor dies of SIGPIPE; the sink is the trace's gate.
  const LineBatchSink& deliver = options.output;
  LineBatchSink stdoutSink = deliver;
  if (journalReachable) {
    // What the target prints stays in the journal too, under its name.
    stdoutSink = [deliver, journal = JournalForwarder::shared().open(identifier, child.pid)](LineBatch batch) {
      journal->forward(batch);
      if (deliver) deliver(std::move(batch));
    };
  }
  watcher.adopt(child.pid, std::move(child.pidfd), streams.outputs(std::move(stdoutSink), deliver));
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

LaunchRecord LinuxWorkspace::prepareLaunch(const ApplicationTarget& target, SessionIdentity session) {
  LaunchRecord record;
  record.instanceExecutable = target.instanceExecutable;
  record.session = std::move(session);
  if (target.kind == ApplicationTarget::Kind::desktopEntry) record.desktopId = target.identifier;
  const auto program = programIdentityOf(record.instanceExecutable);
  if (record.instanceExecutable.empty() || !program) return record;
  // Only with an instance to hand off to; watched from before the spawn,
  // so no call of the launch is missed.
  record.instanceAtLaunch = !instancesOf(*program, record.session).empty();
  if (record.instanceAtLaunch) {
    record.calls = BusCallWatch::start(record.session.sessionBus,
                                       std::chrono::duration_cast<std::chrono::milliseconds>(kHandOffWindow));
  }
  return record;
}

void LinuxWorkspace::rememberLaunch(pid_t pid, LaunchRecord record) {
  record.pid = pid;
  record.launchedAt = std::chrono::steady_clock::now();
  // The child is ours and not reaped yet, so its /proc entry is there.
  record.startTicks = os::statFieldOf(pid, kStartTicksField).value_or(0);
  std::lock_guard lock(mutex_);
  // Launches whose watch never came (a superseded start) must not pile up.
  if (launches_.size() >= 64) launches_.erase(launches_.begin());
  launches_.push_back(std::move(record));
}

std::optional<LaunchRecord> LinuxWorkspace::forgetLaunch(pid_t pid) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(launches_.begin(), launches_.end(), [pid](const auto& r) { return r.pid == pid; });
  if (it == launches_.end()) return std::nullopt;
  LaunchRecord record = *it;
  launches_.erase(it);
  return record;
}

std::vector<std::shared_ptr<RunningApplication>> LinuxWorkspace::runningApplications(
    const std::string& bundleIdentifier) {
  std::vector<std::shared_ptr<RunningApplication>> found;
  const std::string executable = instanceExecutableFor(bundleIdentifier);
  if (executable.empty()) return found;
  const auto program = programIdentityOf(executable);
  if (!program) return found;
  // Only the user's own session: never another user's process, nor one on
  // another display or bus, also when we run as root.
  for (auto& instance : instancesOf(*program, ownSession())) {
    found.push_back(std::make_shared<LinuxRunningApplication>(instance.pid, instance.pidfd.release()));
  }
  return found;
}

std::unique_ptr<TerminationObserver> LinuxWorkspace::addTerminationObserver(std::int32_t pid,
                                                                            TerminationCallback callback) {
  auto isRegistered = std::make_shared<bool>(true);
  MainQueue& mainQueue = mainQueue_;
  auto launch = forgetLaunch(pid);
  const auto token = ChildWatcher::shared().watch(
      pid, [&mainQueue, isRegistered, pid, launch = std::move(launch),
            callback = std::move(callback)](std::optional<ExitStatus> status) mutable {
        std::optional<std::int32_t> handedOffTo;
        if (launch && status && !status->signaled && status->code == 0) handedOffTo = instanceHandedOffTo(*launch);
        launch.reset();  // and with it the bus watch
        mainQueue.post([isRegistered, pid, callback, status, handedOffTo] {
          if (!*isRegistered) return;
          TerminationNotification notification;
          notification.application = std::make_shared<LinuxRunningApplication>(pid);
          notification.exitStatus = status;
          notification.handedOffTo = handedOffTo;
          callback(notification);
        });
      });
  return std::make_unique<PidfdTerminationObserver>(token, std::move(isRegistered));
}

}  // namespace mf
