#include "platform/log_stream.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <linux/wait.h>  // P_PIDFD

#include "platform/chunk_pump.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "platform/system_clock.h"

namespace mf {
namespace {

using posix::UniqueFd;

// How long destroying a stream waits for the child to end on SIGTERM before
// it is killed. journalctl ends in milliseconds; this only bounds a stuck one.
constexpr auto kTerminateGrace = std::chrono::milliseconds(300);

class SpawnedLogProcess final : public LogProcess {
 public:
  SpawnedLogProcess(posix::Spawned child, UniqueFd readEnd, UniqueFd wakeFd, LineBatchSink sink)
      : pid_(child.pid),
        pidfd_(std::move(child.pidfd)),
        readEnd_(std::move(readEnd)),
        wakeFd_(std::move(wakeFd)),
        pump_(std::move(sink)) {
    thread_ = std::thread([this] { run(); });
  }

  ~SpawnedLogProcess() override {
    terminate();
    {
      std::unique_lock lock(mutex_);
      if (!doneCondition_.wait_for(lock, kTerminateGrace, [this] { return done_; })) {
        lock.unlock();
        // A child that ignores SIGTERM, or a grandchild that still holds the
        // pipe: stop waiting for it.
        if (running_.load()) sendSignal(SIGKILL);
        posix::signalWakeFd(wakeFd_.get());
      }
    }
    thread_.join();
  }

  bool isRunning() const override { return running_.load(); }

  void terminate() override {
    if (running_.load()) sendSignal(SIGTERM);
  }

 private:
  void sendSignal(int signal) {
    if (pidfd_.valid()) {
      posix::pidfdSendSignal(pidfd_.get(), signal);
    } else if (running_.load()) {
      ::kill(pid_, signal);
    }
  }

  void reap(bool block) {
    siginfo_t info{};
    int result = -1;
    if (pidfd_.valid()) {
      result = posix::retryOnEintr([&] {
        return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info,
                        WEXITED | (block ? 0 : WNOHANG));
      });
    } else {
      result = posix::retryOnEintr([&] {
        return ::waitid(static_cast<idtype_t>(P_PID), static_cast<id_t>(pid_), &info, WEXITED | (block ? 0 : WNOHANG));
      });
    }
    // si_pid stays 0 while a WNOHANG child is still alive; ECHILD means gone.
    if ((result == 0 && info.si_pid != 0) || (result == -1 && errno == ECHILD)) running_.store(false);
  }

  void run() {
    bool streamOpen = true;
    bool stopRequested = false;
    while (!stopRequested && (streamOpen || running_.load())) {
      pollfd fds[3];
      nfds_t count = 0;
      fds[count++] = {wakeFd_.get(), POLLIN, 0};
      const nfds_t streamIndex = streamOpen ? count : 99;
      if (streamOpen) fds[count++] = {readEnd_.get(), POLLIN, 0};
      const nfds_t childIndex = running_.load() && pidfd_.valid() ? count : 99;
      if (childIndex != 99) fds[count++] = {pidfd_.get(), POLLIN, 0};
      if (count == 1) {
        // Stream closed but no pidfd to watch: the child is ours, so wait.
        reap(true);
        break;
      }
      if (posix::retryOnEintr([&] { return ::poll(fds, count, -1); }) < 0) break;
      if (fds[0].revents != 0) stopRequested = true;
      if (streamIndex != 99 && fds[streamIndex].revents != 0) {
        if (pump_.pumpOnce(readEnd_.get()) == ChunkPump::Result::ended) {
          streamOpen = false;
          readEnd_.reset();
        }
      }
      if (childIndex != 99 && fds[childIndex].revents != 0) reap(false);
    }
    pump_.finish();
    if (running_.load()) reap(true);  // only after SIGKILL from the destructor
    std::lock_guard lock(mutex_);
    done_ = true;
    doneCondition_.notify_all();
  }

  pid_t pid_;
  UniqueFd pidfd_;
  UniqueFd readEnd_;
  UniqueFd wakeFd_;
  ChunkPump pump_;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
  std::condition_variable doneCondition_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

std::vector<std::string> journalctlArguments(const std::string& processName, double since) {
  const auto micros = static_cast<long long>(since * 1e6);
  char sinceText[64];
  std::snprintf(sinceText, sizeof sinceText, "--since=@%lld.%06lld", micros / 1000000, micros % 1000000);
  return {"journalctl",
          "--follow",
          "--no-pager",
          "--quiet",
          "--output=short-iso-precise",
          sinceText,
          "SYSLOG_IDENTIFIER=" + processName,
          "+",
          "_COMM=" + processName.substr(0, 15)};
}

std::vector<std::string> unifiedLogArguments(const std::string& processName) {
  return {"/usr/bin/log", "stream", "--style", "compact", "--level", "debug", "--predicate",
          "process == \"" + processName + "\""};
}

std::optional<std::string> journalUnavailableReason(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return "the systemd journal socket path is too long";
  socketPath.copy(address.sun_path, socketPath.size());
  UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return "the systemd journal cannot be reached: " + posix::errorText(errno);
  const int result = posix::retryOnEintr([&] {
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  });
  if (result == 0) return std::nullopt;
  const int error = errno;
  if (error == ENOENT || error == ECONNREFUSED) return "the systemd journal is not running";
  return "the systemd journal cannot be reached: " + posix::errorText(error);
}

ArmResult startLineStream(const std::vector<std::string>& argv, LineBatchSink sink) {
  ArmResult result;
  auto pipe = posix::makePipe();
  auto wakeFd = posix::makeWakeFd();
  if (!pipe.readEnd.valid() || !wakeFd.valid()) {
    result.errorDescription = posix::errorText(errno);
    return result;
  }
  posix::SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.stdoutFd = pipe.writeEnd.get();
  request.stderrFd = pipe.writeEnd.get();
  auto child = posix::spawnProcess(request);
  // Our copy of the write end must go now, or end of stream never comes.
  pipe.writeEnd.reset();
  if (child.pid < 0) {
    result.errorDescription = posix::errorText(child.error);
    return result;
  }
  result.process = std::make_unique<SpawnedLogProcess>(std::move(child), std::move(pipe.readEnd),
                                                       std::move(wakeFd), std::move(sink));
  return result;
}

JournalLogStreamLauncher::JournalLogStreamLauncher() : JournalLogStreamLauncher(Options{}) {}

JournalLogStreamLauncher::JournalLogStreamLauncher(Options options) : options_(std::move(options)) {}

ArmResult JournalLogStreamLauncher::start(const std::string& processName, LineBatchSink sink) {
  if (auto reason = journalUnavailableReason(options_.journalSocket)) {
    ArmResult result;
    result.errorDescription = *reason;
    return result;
  }
  auto argv = journalctlArguments(processName, SystemClock().now());
  argv.front() = options_.journalctl;
  return startLineStream(argv, std::move(sink));
}

}  // namespace mf
