// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/log_stream.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>

#include <linux/wait.h>  // P_PIDFD

#include "platform/chunk_pump.h"
#include "platform/journal_capture.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "platform/system_clock.h"
#include "trace/signal_names.h"

namespace mf {
namespace {

using posix::UniqueFd;

// How long a stream keeps reading after it was asked to end: journald hands
// lines on about 0.4 s after they were written, so a target that crashes at
// once has its last lines still on the way when its trace ends. The stream
// ends after kLingerQuiet without output, at the latest after kLingerMax.
constexpr auto kLingerQuiet = std::chrono::milliseconds(600);
constexpr auto kLingerMax = std::chrono::milliseconds(2000);
// How long finishing a stream waits for the child to end on SIGTERM before it
// is killed. journalctl ends in milliseconds; this only bounds a stuck one.
constexpr auto kTerminateGrace = std::chrono::milliseconds(300);

using SteadyClock = std::chrono::steady_clock;

enum class Stop : int { none = 0, linger = 1, now = 2, kill = 3 };

// Whole milliseconds from `now` until `deadline`, rounded up.
int millisecondsUntil(SteadyClock::time_point deadline, SteadyClock::time_point now) {
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

// The shorter of two waits in milliseconds, where -1 is "no wait of its own".
int earlierWait(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

// The descriptors one poll() watches for input. A descriptor that is added
// but not watched this turn gets no slot, and is never ready.
class PollSet {
 public:
  using Slot = std::optional<nfds_t>;

  Slot add(int fd, bool watched = true) {
    if (!watched) return std::nullopt;
    fds_.at(count_) = {fd, POLLIN, 0};
    return count_++;
  }
  // False when poll() failed.
  bool wait(int timeoutMillis) {
    return posix::retryOnEintr([&] { return ::poll(fds_.data(), count_, timeoutMillis); }) >= 0;
  }
  bool ready(Slot slot) const { return slot && fds_[*slot].revents != 0; }

 private:
  std::array<pollfd, 5> fds_{};
  nfds_t count_ = 0;
};

}  // namespace

// Turns what a stream child prints into line batches, on its reader thread.
class StreamDecoder {
 public:
  virtual ~StreamDecoder() = default;
  // One read() of `fd`; see ChunkPump::pumpOnce.
  virtual ChunkPump::Result pumpOnce(int fd) = 0;
  // End of stream: hands on what is pending.
  virtual void finish() = 0;
  // A further descriptor to poll (fork events), or -1; and what to do when it is ready.
  virtual int eventFd() { return -1; }
  virtual void onEvents() {}
  // Whether every fork is seen as it happens; fixed from construction on.
  virtual bool seesForks() const { return true; }
  // How often onTick wants to run, in milliseconds, or -1 for never.
  virtual int tickMillis() { return -1; }
  virtual void onTick() {}
  // The launched process became known.
  virtual void follow(const LaunchedProcess& /*process*/) {}
  // Whether lines went to the sink since the last call. A stream is quiet
  // when the trace has had nothing from it for a moment, not when the
  // machine's journal is: other programs' entries are read and dropped.
  virtual bool tookLines() { return true; }
};

namespace {

// Plain text: every line of the output is one line of the trace.
class LineDecoder final : public StreamDecoder {
 public:
  explicit LineDecoder(LineBatchSink sink) : pump_(std::move(sink)) {}
  ChunkPump::Result pumpOnce(int fd) override { return pump_.pumpOnce(fd); }
  void finish() override { pump_.finish(); }

 private:
  ChunkPump pump_;
};

// journalctl's export format: every entry of the machine, of which the
// capture keeps those of the launched process tree.
class JournalDecoder final : public StreamDecoder {
 public:
  JournalDecoder(CaptureScope scope, LineBatchSink sink)
      : capture_(std::move(scope), std::move(sink)),
        parser_([this](JournalEntry&& entry) { capture_.take(std::move(entry)); }) {
    buffer_.resize(ChunkPump::kChunkSize);
  }

  ChunkPump::Result pumpOnce(int fd) override {
    const auto got = posix::retryOnEintr([&] { return ::read(fd, buffer_.data(), buffer_.size()); });
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ChunkPump::Result::wouldBlock;
    if (got <= 0) {
      finish();
      return ChunkPump::Result::ended;
    }
    // Forks first: an entry of a brand-new child must find it in the tree.
    capture_.drainEvents();
    parser_.feed(std::string_view(buffer_.data(), static_cast<std::size_t>(got)));
    capture_.flush();
    return ChunkPump::Result::more;
  }
  void finish() override {
    parser_.finish();
    capture_.flush();
  }
  int eventFd() override { return capture_.eventFd(); }
  void onEvents() override { capture_.drainEvents(); }
  bool seesForks() const override { return capture_.seesForks(); }
  int tickMillis() override { return capture_.needsDiscovery() ? JournalCapture::kDiscoverMillis : -1; }
  void onTick() override { capture_.discoverChildren(); }
  void follow(const LaunchedProcess& process) override {
    capture_.noteExecutable(process.executable);
    capture_.follow(process.pid, process.unit, process.forks);
    capture_.flush();
  }
  bool tookLines() override { return capture_.takeDelivered() > 0; }

 private:
  JournalCapture capture_;
  JournalExportParser parser_;
  std::string buffer_;
};

}  // namespace

// A spawned stream child and the thread that reads it. Shared by the handle
// and, once the handle is gone, by the lingering set of its launcher.
class StreamChild {
 public:
  StreamChild(std::string name, posix::Spawned child, UniqueFd readEnd, UniqueFd errorEnd, UniqueFd wakeFd,
              std::unique_ptr<StreamDecoder> decoder)
      : name_(std::move(name)),
        pid_(child.pid),
        pidfd_(std::move(child.pidfd)),
        readEnd_(std::move(readEnd)),
        errorEnd_(std::move(errorEnd)),
        wakeFd_(std::move(wakeFd)),
        decoder_(std::move(decoder)),
        seesForks_(decoder_->seesForks()) {}

  bool seesForks() const { return seesForks_; }

  // Main thread; the reader applies it on its next turn.
  void follow(const LaunchedProcess& process) {
    {
      std::lock_guard lock(mutex_);
      launched_ = process;
    }
    posix::signalWakeFd(wakeFd_.get());
  }

  void startReading() { thread_ = std::thread([this] { run(); }); }

  bool isRunning() const { return running_.load(); }

  void requestStop(Stop stop) {
    int current = stop_.load();
    while (current < static_cast<int>(stop) && !stop_.compare_exchange_weak(current, static_cast<int>(stop))) {
    }
    posix::signalWakeFd(wakeFd_.get());
  }

  bool isDone() {
    std::lock_guard lock(mutex_);
    return done_;
  }

  // See LogProcess::notifyWhenQuiet. Called back from the reader thread,
  // after the batches read so far went to the sink, or at once when the
  // reader has already ended.
  void notifyWhenQuiet(std::function<void()> callback) {
    {
      std::lock_guard lock(mutex_);
      if (!done_) {
        quietCallbacks_.push_back(std::move(callback));
        if (!quietSince_) quietSince_ = SteadyClock::now();
        callback = nullptr;
      }
    }
    if (callback) {
      callback();
      return;
    }
    posix::signalWakeFd(wakeFd_.get());
  }

  // See LogProcess::notifyOnUnexpectedEnd.
  void notifyOnUnexpectedEnd(std::function<void(std::string)> callback) {
    std::string reason;
    {
      std::lock_guard lock(mutex_);
      if (!done_) {
        endCallback_ = std::move(callback);
        return;
      }
      if (!unexpectedEnd_) return;
      reason = *unexpectedEnd_;
    }
    callback(reason);
  }

  // Ends the stream now: SIGTERM, a short grace, then SIGKILL; joins.
  void finish() {
    requestStop(Stop::now);
    {
      std::unique_lock lock(mutex_);
      if (!doneCondition_.wait_for(lock, kTerminateGrace, [this] { return done_; })) {
        lock.unlock();
        // A child that ignores SIGTERM, or a grandchild that still holds the
        // pipe: stop waiting for it.
        requestStop(Stop::kill);
      }
    }
    join();
  }

  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void sendSignal(int signal) {
    if (!running_.load()) return;
    if (pidfd_.valid()) {
      posix::pidfdSendSignal(pidfd_.get(), signal);
    } else {
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
    if (result == 0 && info.si_pid != 0) {
      running_.store(false);
      if (info.si_code == CLD_EXITED) {
        endedHow_ = name_ + " exited with status " + std::to_string(info.si_status);
      } else {
        endedHow_ = name_ + " was killed by signal " + std::to_string(info.si_status) + " (" +
                    signalName(info.si_status) + ")";
      }
    } else if (result == -1 && errno == ECHILD) {
      running_.store(false);
    }
  }

  // How the child ended, when nobody asked it to: it died, or gave up, and
  // the last thing it said on stderr ("No journal files were opened due to
  // insufficient permissions.").
  std::optional<std::string> unexpectedEnd(Stop stopWhenEnded) const {
    if (stopWhenEnded != Stop::none) return std::nullopt;
    std::string reason = endedHow_.empty() ? name_ + " ended" : endedHow_;
    std::string_view said(errorText_);
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.remove_suffix(1);
    if (const auto newline = said.rfind('\n'); newline != std::string_view::npos) said.remove_prefix(newline + 1);
    if (!said.empty()) reason += ": " + validUtf8(said);
    return reason;
  }

  // What the child says on stderr, kept apart from its data; bounded, since
  // only its last line is shown.
  void readErrors() {
    char buffer[1024];
    const auto got = posix::retryOnEintr([&] { return ::read(errorEnd_.get(), buffer, sizeof buffer); });
    if (got <= 0) {
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) errorEnd_.reset();
      return;
    }
    errorText_.append(buffer, static_cast<std::size_t>(got));
    constexpr std::size_t kKeptErrorBytes = 4096;
    if (errorText_.size() > kKeptErrorBytes) errorText_.erase(0, errorText_.size() - kKeptErrorBytes);
  }

  // What the reader carries from one turn of its loop to the next.
  struct Turns {
    Stop stopWhenEnded = Stop::none;  // the stop asked for when the loop ended
    bool streamOpen = true;
    bool terminateSent = false;
    std::optional<SteadyClock::time_point> lingerStart;
    SteadyClock::time_point lastOutput = SteadyClock::now();
    SteadyClock::time_point nextTick = lastOutput;
  };

  // The reader thread: turns until the child and its stream have ended (or
  // a kill was asked for), then hands on the rest and says how it ended.
  void run() {
    Turns turns;
    while (turn(turns)) {
    }
    finishReading(turns.stopWhenEnded);
  }

  // One turn: acts on a stop request, works out how long to wait, waits for
  // the descriptors and handles what is ready. False when the reader is done.
  bool turn(Turns& turns) {
    const auto stop = static_cast<Stop>(stop_.load());
    turns.stopWhenEnded = stop;
    if (stop == Stop::kill) {
      sendSignal(SIGKILL);
      return false;
    }
    if (!turns.streamOpen && !running_.load()) return false;
    int timeout = terminateWhenDue(turns, stop);
    timeout = earlierWait(timeout, callQuietCallbacksIfDue(turns.lastOutput));
    if (auto process = takeLaunched()) decoder_->follow(*process);
    timeout = earlierWait(timeout, tickDecoder(turns));
    return waitAndHandle(turns, timeout);
  }

  // Sends SIGTERM once: at once for Stop::now; for Stop::linger when the
  // stream has been quiet long enough or has lingered its longest. Returns
  // the milliseconds until a lingering stream's moment, or -1.
  int terminateWhenDue(Turns& turns, Stop stop) {
    if (turns.terminateSent) return -1;
    if (stop == Stop::now) {
      sendSignal(SIGTERM);
      turns.terminateSent = true;
    } else if (stop == Stop::linger) {
      const auto now = SteadyClock::now();
      if (!turns.lingerStart) turns.lingerStart = now;
      const auto deadline =
          std::min(std::max(turns.lastOutput, *turns.lingerStart) + kLingerQuiet, *turns.lingerStart + kLingerMax);
      if (now < deadline) return millisecondsUntil(deadline, now);
      sendSignal(SIGTERM);
      turns.terminateSent = true;
    }
    return -1;
  }

  // The decoder's periodic work (reading /proc where fork events are not
  // seen); returns the milliseconds until the next, or -1 when it has none.
  int tickDecoder(Turns& turns) {
    const int tick = decoder_->tickMillis();
    if (tick < 0) return -1;
    const auto now = SteadyClock::now();
    if (now >= turns.nextTick) {
      decoder_->onTick();
      turns.nextTick = now + std::chrono::milliseconds(tick);
    }
    return millisecondsUntil(turns.nextTick, now);
  }

  // Waits for the wake-up descriptor, the decoder's event source, the
  // stream, the child's pidfd and its stderr (those that are open) and
  // handles the ready ones. False when the reader is done.
  bool waitAndHandle(Turns& turns, int timeout) {
    PollSet set;
    const PollSet::Slot wake = set.add(wakeFd_.get());
    const int eventFd = decoder_->eventFd();
    const PollSet::Slot events = set.add(eventFd, eventFd >= 0);
    const PollSet::Slot stream = set.add(readEnd_.get(), turns.streamOpen);
    const PollSet::Slot child = set.add(pidfd_.get(), running_.load() && pidfd_.valid());
    const PollSet::Slot errors = set.add(errorEnd_.get(), errorEnd_.valid());
    if (!turns.streamOpen && !child) {
      // Stream closed and no pidfd to watch: the child is ours, so wait.
      reap(true);
      return false;
    }
    if (!set.wait(timeout)) return false;
    if (set.ready(wake)) posix::drainWakeFd(wakeFd_.get());
    if (set.ready(events)) decoder_->onEvents();
    if (set.ready(stream)) {
      if (decoder_->pumpOnce(readEnd_.get()) == ChunkPump::Result::ended) {
        turns.streamOpen = false;
        readEnd_.reset();
      }
      if (decoder_->tookLines()) turns.lastOutput = SteadyClock::now();
    }
    if (set.ready(errors)) readErrors();
    if (set.ready(child)) reap(false);
    return true;
  }

  // After the loop: the child's last words on stderr, the decoder's pending
  // lines, the child reaped; then the end is told before the quiet callbacks
  // run, so a trace that waits for quiet to finish says why its stream went
  // quiet before it finishes.
  void finishReading(Stop stopWhenEnded) {
    // What it said last, without waiting for a writer that never closes.
    for (int reads = 0; reads < 8 && errorEnd_.valid(); ++reads) readErrors();
    if (auto process = takeLaunched()) decoder_->follow(*process);
    decoder_->finish();
    if (running_.load()) reap(true);  // only after SIGKILL
    std::vector<std::function<void()>> callbacks;
    std::function<void(std::string)> endCallback;
    const auto ended = unexpectedEnd(stopWhenEnded);
    {
      std::lock_guard lock(mutex_);
      done_ = true;
      unexpectedEnd_ = ended;
      callbacks.swap(quietCallbacks_);
      if (ended) endCallback.swap(endCallback_);
      endCallback_ = nullptr;
      doneCondition_.notify_all();
    }
    if (endCallback) endCallback(*ended);
    for (auto& callback : callbacks) callback();
  }

  std::optional<LaunchedProcess> takeLaunched() {
    std::lock_guard lock(mutex_);
    return std::exchange(launched_, std::nullopt);
  }

  // Calls the quiet callbacks whose moment has come; returns the milliseconds
  // until the next one is due, or -1 when none is waiting.
  int callQuietCallbacksIfDue(SteadyClock::time_point lastOutput) {
    std::vector<std::function<void()>> due;
    int wait = -1;
    {
      std::lock_guard lock(mutex_);
      if (!quietSince_) return -1;
      const auto now = SteadyClock::now();
      const auto deadline = std::min(std::max(lastOutput, *quietSince_) + kLingerQuiet, *quietSince_ + kLingerMax);
      if (now >= deadline) {
        due.swap(quietCallbacks_);
        quietSince_.reset();
      } else {
        wait = millisecondsUntil(deadline, now);
      }
    }
    for (auto& callback : due) callback();
    return wait;
  }

  std::string name_;  // the program, for the reasons it gives
  pid_t pid_;
  UniqueFd pidfd_;
  UniqueFd readEnd_;
  UniqueFd errorEnd_;  // reader thread only, like errorText_
  std::string errorText_;
  UniqueFd wakeFd_;
  std::unique_ptr<StreamDecoder> decoder_;
  const bool seesForks_;
  std::optional<LaunchedProcess> launched_;  // guarded by mutex_
  std::atomic<bool> running_{true};
  std::atomic<int> stop_{0};
  std::mutex mutex_;
  std::condition_variable doneCondition_;
  bool done_ = false;
  std::vector<std::function<void()>> quietCallbacks_;
  std::optional<SteadyClock::time_point> quietSince_;
  std::function<void(std::string)> endCallback_;
  std::optional<std::string> unexpectedEnd_;  // set when done
  std::string endedHow_;                      // reader thread only
  std::thread thread_;
};

namespace {

class SpawnedLogProcess final : public LogProcess {
 public:
  SpawnedLogProcess(std::shared_ptr<StreamChild> child, std::shared_ptr<LingeringStreams> lingering)
      : child_(std::move(child)), lingering_(std::move(lingering)) {}

  ~SpawnedLogProcess() override {
    if (lingering_) {
      // Keep reading for the late lines; the launcher finishes it.
      child_->requestStop(Stop::linger);
      lingering_->adopt(std::move(child_));
    } else {
      child_->finish();
    }
  }

  bool isRunning() const override { return child_->isRunning(); }
  void terminate() override { child_->requestStop(Stop::linger); }
  void follow(const LaunchedProcess& process) override {
    // Called as the process is spawned: the moment its executable can still
    // be read (a symbolic link or an interpreter resolved), unless it has
    // crashed already; then the launcher's word stands.
    LaunchedProcess known = process;
    if (known.pid > 0) {
      char path[4096];
      const auto length = ::readlink(("/proc/" + std::to_string(known.pid) + "/exe").c_str(), path, sizeof path);
      if (length > 0 && static_cast<std::size_t>(length) < sizeof path) {
        known.executable.assign(path, static_cast<std::size_t>(length));
      }
    }
    child_->follow(known);
  }
  bool mayMissShortLivedHelpers(const LaunchedProcess& process) const override {
    return !child_->seesForks() && !process.forks;
  }
  void notifyWhenQuiet(std::function<void()> callback) override { child_->notifyWhenQuiet(std::move(callback)); }
  void notifyOnUnexpectedEnd(std::function<void(std::string)> callback) override {
    child_->notifyOnUnexpectedEnd(std::move(callback));
  }

 private:
  std::shared_ptr<StreamChild> child_;
  std::shared_ptr<LingeringStreams> lingering_;
};

}  // namespace

void LingeringStreams::adopt(std::shared_ptr<StreamChild> child) {
  std::vector<std::shared_ptr<StreamChild>> finished;
  {
    std::lock_guard lock(mutex_);
    // Join the ones that ended meanwhile, so the set stays small.
    std::erase_if(children_, [&](auto& c) {
      if (!c->isDone()) return false;
      finished.push_back(std::move(c));
      return true;
    });
    children_.push_back(std::move(child));
  }
  for (auto& c : finished) c->join();
}

std::size_t LingeringStreams::size() {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(children_.begin(), children_.end(), [](auto& c) { return !c->isDone(); }));
}

LingeringStreams::~LingeringStreams() {
  std::vector<std::shared_ptr<StreamChild>> children;
  {
    std::lock_guard lock(mutex_);
    children.swap(children_);
  }
  for (auto& child : children) child->requestStop(Stop::now);
  for (auto& child : children) child->finish();
}

std::string journalIdentifier(const std::string& processName) {
  std::string identifier = processName;
  for (char& c : identifier) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '_';
  }
  return identifier;
}

std::vector<std::string> journalctlArguments(double since) {
  const auto micros = static_cast<long long>(since * 1e6);
  char sinceText[64];
  std::snprintf(sinceText, sizeof sinceText, "--since=@%lld.%06lld", micros / 1000000, micros % 1000000);
  return {"journalctl",
          "--follow",
          "--no-pager",
          "--quiet",
          "--output=export",
          "--output-fields=" + std::string(journalExportFields()),
          sinceText};
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

std::optional<std::string> journalUnreadableReason(const std::vector<std::string>& directories) {
  if (::geteuid() == 0) return std::nullopt;
  // journald keeps the system's entries in system*.journal and, where it
  // splits by user on persistent storage, ours in user-<uid>*.journal. We
  // can follow the target if we may read either; files of other users tell
  // us nothing.
  const std::string own = "user-" + std::to_string(::getuid());
  bool sawJournal = false;
  for (const auto& top : directories) {
    DIR* machines = ::opendir(top.c_str());
    if (!machines) continue;
    while (const dirent* machine = ::readdir(machines)) {
      if (machine->d_name[0] == '.') continue;
      const std::string folder = top + "/" + machine->d_name;
      DIR* files = ::opendir(folder.c_str());
      if (!files) {
        sawJournal = sawJournal || errno == EACCES;
        continue;
      }
      while (const dirent* file = ::readdir(files)) {
        const std::string_view name(file->d_name);
        if (name.size() < 8 || name.substr(name.size() - 8) != ".journal") continue;
        if (name.substr(0, 6) != "system" && name.substr(0, own.size()) != own) continue;
        sawJournal = true;
        if (::faccessat(AT_FDCWD, (folder + "/" + file->d_name).c_str(), R_OK, AT_EACCESS) == 0) {
          ::closedir(files);
          ::closedir(machines);
          return std::nullopt;
        }
      }
      ::closedir(files);
    }
    ::closedir(machines);
  }
  if (!sawJournal) return std::nullopt;  // nothing written yet: nothing to judge by
  return "this user may not read the systemd journal (insufficient permissions; members of the "
         "systemd-journal group may), so the target's output is read directly";
}

namespace {

// `errorsApart`: the child's stderr is its reason for ending, not data.
ArmResult startStream(const std::vector<std::string>& argv, std::unique_ptr<StreamDecoder> decoder,
                      std::shared_ptr<LingeringStreams> lingering, bool errorsApart) {
  ArmResult result;
  auto pipe = posix::makePipe();
  auto errorPipe = posix::makePipe();
  auto wakeFd = posix::makeWakeFd();
  if (!pipe.readEnd.valid() || !errorPipe.readEnd.valid() || !wakeFd.valid()) {
    result.errorDescription = posix::errorText(errno);
    return result;
  }
  posix::SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.stdoutFd = pipe.writeEnd.get();
  request.stderrFd = errorsApart ? errorPipe.writeEnd.get() : pipe.writeEnd.get();
  auto child = posix::spawnProcess(request);
  // Our copies of the write ends must go now, or end of stream never comes.
  pipe.writeEnd.reset();
  errorPipe.writeEnd.reset();
  if (!errorsApart) errorPipe.readEnd.reset();
  if (errorPipe.readEnd.valid()) {
    ::fcntl(errorPipe.readEnd.get(), F_SETFL, ::fcntl(errorPipe.readEnd.get(), F_GETFL) | O_NONBLOCK);
  }
  if (child.pid < 0) {
    result.errorDescription = posix::errorText(child.error);
    return result;
  }
  const auto slash = argv.front().rfind('/');
  auto stream = std::make_shared<StreamChild>(
      slash == std::string::npos ? argv.front() : argv.front().substr(slash + 1), std::move(child),
      std::move(pipe.readEnd), std::move(errorPipe.readEnd), std::move(wakeFd), std::move(decoder));
  stream->startReading();
  result.process = std::make_unique<SpawnedLogProcess>(std::move(stream), std::move(lingering));
  return result;
}

}  // namespace

ArmResult startLineStream(const std::vector<std::string>& argv, LineBatchSink sink,
                          std::shared_ptr<LingeringStreams> lingering) {
  return startStream(argv, std::make_unique<LineDecoder>(std::move(sink)), std::move(lingering), false);
}

JournalLogStreamLauncher::JournalLogStreamLauncher() : JournalLogStreamLauncher(Options{}) {}

JournalLogStreamLauncher::JournalLogStreamLauncher(Options options)
    : options_(std::move(options)), lingering_(std::make_shared<LingeringStreams>()) {}

JournalLogStreamLauncher::~JournalLogStreamLauncher() = default;

std::size_t JournalLogStreamLauncher::lingeringStreams() { return lingering_->size(); }

ArmResult JournalLogStreamLauncher::start(const std::string& processName, LineBatchSink sink) {
  auto reason = journalUnavailableReason(options_.journalSocket);
  if (!reason) reason = journalUnreadableReason(options_.journalDirectories);
  if (reason) {
    ArmResult result;
    result.errorDescription = *reason;
    return result;
  }
  // Fork events are watched from before the launch, so a child the target
  // starts at once is still known to be its child.
  auto argv = journalctlArguments(SystemClock().now());
  argv.front() = options_.journalctl;
  CaptureScope scope;
  scope.processName = processName;
  scope.identifier = journalIdentifier(processName);
  scope.self = ::getpid();
  scope.kernelMessagesMissing = kernelMessagesUnavailableReason().value_or("");
  auto decoder = std::make_unique<JournalDecoder>(std::move(scope), std::move(sink));
  // Blind to forks, /proc is all there is: orphans of the tree then come to
  // us instead of init, from before the launch on, so they stay reachable.
  if (!decoder->seesForks()) posix::becomeChildSubreaper();
  return startStream(argv, std::move(decoder), lingering_, true);
}

}  // namespace mf
