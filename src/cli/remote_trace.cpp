// SPDX-License-Identifier: GPL-3.0-or-later
#include "remote_trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analysis/visible.h"
#include "json_output.h"
#include "platform/event_loop_main_queue.h"
#include "platform/system_calls.h"
#include "platform/ssh_launcher.h"
#include "trace/remote_trace.h"
#include "terminal_text.h"
#include "trace_report.h"
#include "verdict/verdict.h"

namespace mf::cli {
namespace {

// How long the other side may take to stop, take its late lines and end
// what it launched after a Ctrl-C here, before the connection is cut.
constexpr double kStopAnswerSeconds = 15.0;
// How long a stopped target's group has to end before it is killed.
constexpr double kTreeEndSeconds = 3.0;

std::atomic<int> localSignal{0};
void onLocalSignal(int signal) { localSignal = signal; }

std::atomic<bool> remoteSignal{false};
void onRemoteSignal(int) { remoteSignal = true; }

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string numberText(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// Seconds east of UTC as a POSIX TZ value, so HH:mm:ss read as the other
// machine's clock shows them (the sign of a TZ offset is the other way round).
std::string zoneFromOffset(int seconds) {
  char text[32];
  const int east = seconds < 0 ? -seconds : seconds;
  std::snprintf(text, sizeof text, "HOST%c%02d:%02d", seconds > 0 ? '-' : '+', east / 3600, east / 60 % 60);
  return text;
}

void writeOut(const std::string& text) {
  const std::string out = forOutput(text);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// The other side's trace arguments: APP, the switches, --env and --.
std::vector<std::string> remoteArguments(const TraceOptions& options) {
  std::vector<std::string> args = {options.app};
  if (options.showRawLog) args.emplace_back("--raw");
  if (!options.searchText.empty()) args.insert(args.end(), {"--search", options.searchText});
  if (options.seconds) args.insert(args.end(), {"--seconds", numberText(*options.seconds)});
  if (!options.freshLaunch) args.emplace_back("--no-fresh-launch");
  if (!options.qtLevelPrefix) args.emplace_back("--no-qt-levels");
  for (const auto& [name, value] : options.environment) args.insert(args.end(), {"--env", name + "=" + value});
  args.emplace_back("--");
  args.insert(args.end(), options.arguments.begin(), options.arguments.end());
  return args;
}

// Reads the other side's output and prints the trace it describes as it comes.
class RemotePrinter {
 public:
  RemotePrinter(const TraceOptions& options, const std::optional<Baseline>& baseline)
      : options_(options), baseline_(baseline), query_(options.searchText) {}

  // One line of ssh's stdout.
  void takeLine(const std::string& line) {
    const auto took = reader_.takeLine(line);
    if (!zoneSet_ && reader_.utcOffset()) {
      zoneSet_ = true;
      ::setenv("TZ", zoneFromOffset(*reader_.utcOffset()).c_str(), 1);
      ::tzset();
    }
    if (took == RemoteTraceReader::Took::trace) {
      header_.appName = indentContinuationLines(reader_.app());
      header_.appPath = indentContinuationLines(reader_.path());
      header_.bundleIdentifier = indentContinuationLines(reader_.identifier());
      header_.showRawLog = options_.showRawLog;
      header_.host = indentContinuationLines(*options_.host);
      if (options_.json) writeOut(traceJson(reader_.app(), reader_.path(), reader_.identifier(), *options_.host) + "\n");
    } else if (took == RemoteTraceReader::Took::event) {
      const RemoteEvent& e = reader_.event();
      append(e.id, e.time, e.type, e.source, e.message, e.noise, e.origin, true);
    }
  }

  // The trace was cut off: said as its last event, at this machine's time.
  void connectionLost(const std::string& reason) {
    if (!reader_.started() || reader_.finished()) return;
    std::array<std::uint8_t, 16> bytes{};
    bytes[0] = static_cast<std::uint8_t>(events_.size());
    bytes[15] = 0x80;
    append(Uuid::fromRandomBytes(bytes), static_cast<double>(std::time(nullptr)), EventType::error, "SESSION",
           connectionLostText(*options_.host, reason), false, LineOrigin::trace, false);
  }

  // The verdict and summary (or with --json the verdict object): the status.
  int finish() {
    std::vector<std::uint32_t> rows;
    for (std::size_t i = 0; i < events_.size(); ++i) {
      if (isShown(events_[i], options_.showRawLog, query_)) rows.push_back(static_cast<std::uint32_t>(i));
    }
    if (!options_.json) return reportSummary(header_, events_, rows, baseline_);
    std::optional<NoveltyCounts> news;
    if (baseline_) news = countNew(events_, *baseline_);
    writeOut(verdictJson(judgeTrace(events_), events_, news) + "\n");
    return exitStatusOf(events_, rows);
  }

  const RemoteTraceReader& reader() const { return reader_; }

 private:
  // Appended where its time belongs, as the list there placed it, and
  // printed as it comes when the list shows it.
  void append(const Uuid& id, double time, EventType type, const std::string& source, const std::string& message,
              bool noise, LineOrigin origin, bool place) {
    const std::size_t first = events_.size();
    events_.append(id, time, type, source, message, noise, origin);
    const EventView event = events_[first];
    if (options_.json) {
      std::optional<bool> isNew;
      if (baseline_) isNew = baseline_->isNew(event.message);
      writeOut(eventJson(event, isNew) + "\n");
    } else if (isShown(event, options_.showRawLog, query_)) {
      writeOut(indentContinuationLines(summaryEventLine(event)) + "\n");
    }
    if (place) events_.placeByTime(first);
  }

  const TraceOptions& options_;
  const std::optional<Baseline>& baseline_;
  SearchQuery query_;
  RemoteTraceReader reader_;
  bool zoneSet_ = false;
  SummaryHeader header_;
  EventList events_;
};

}  // namespace

int runRemoteTrace(const TraceOptions& options, const std::optional<Baseline>& baseline) {
  const std::string& host = *options.host;
  const std::string prefix = "marrowfield-cli trace: ";
  // Declared in this order so they go in reverse: the connection, then ssh's
  // reader threads (joined), then what their posts reach.
  EventLoopMainQueue queue;
  RemotePrinter printer(options, baseline);
  std::string lastError;
  std::optional<int> status;
  SshLauncher ssh;
  RemoteHandlers handlers;
  handlers.output = [&queue, &printer](std::vector<std::string> lines) {
    queue.post([&printer, lines = std::move(lines)] {
      for (const auto& line : lines) printer.takeLine(line);
    });
  };
  handlers.error = [&queue, &lastError](std::string line) {
    queue.post([&lastError, line = std::move(line)]() mutable {
      while (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) return;
      printError(line);
      lastError = std::move(line);
    });
  };
  handlers.ended = [&queue, &status](int code) { queue.post([&status, code] { status = code; }); };
  std::string error;
  auto connection = ssh.connect(host, remoteCommand(remoteArguments(options)), std::move(handlers), error);
  if (!connection) {
    printError(prefix + error);
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = onLocalSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction previousInt {}, previousTerm {};
  ::sigaction(SIGINT, &action, &previousInt);
  ::sigaction(SIGTERM, &action, &previousTerm);
  std::optional<std::chrono::steady_clock::time_point> stopAsked;
  std::string cutReason;
  while (!status) {
    if (localSignal != 0 && !stopAsked) {
      stopAsked = std::chrono::steady_clock::now();
      localSignal = 0;
      connection->stop();  // the other side's stdin ends: it stops there
    } else if (stopAsked && (localSignal != 0 || secondsSince(*stopAsked) > kStopAnswerSeconds) && cutReason.empty()) {
      cutReason = localSignal != 0 ? "stopped here before " + host + " had answered"
                                   : host + " did not end the trace within " + numberText(kStopAnswerSeconds) + " s";
      connection->cut();
    }
    queue.runUntil([&] { return status.has_value() || localSignal != 0; }, 0.1);
  }
  ::sigaction(SIGINT, &previousInt, nullptr);
  ::sigaction(SIGTERM, &previousTerm, nullptr);

  const RemoteTraceReader& reader = printer.reader();
  if (!reader.started()) {
    const std::string why = reader.failure(host, *status, lastError);
    if (!why.empty()) printError(prefix + why);
    return 2;
  }
  if (!reader.finished()) {
    std::string reason = cutReason;
    if (reason.empty()) reason = lastError;
    if (reason.empty()) reason = "ssh ended with status " + std::to_string(*status);
    printer.connectionLost(reason);
  }
  return printer.finish();
}

ConnectionBoundTrace::ConnectionBoundTrace(Workspace& workspace) : recorder_(workspace) {
  struct sigaction action {};
  action.sa_handler = onRemoteSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGHUP, &action, &previous_[0]);
  ::sigaction(SIGTERM, &action, &previous_[1]);
  // A write to a connection that is gone fails instead of killing us.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous_[2]);
}

ConnectionBoundTrace::~ConnectionBoundTrace() {
  ::sigaction(SIGHUP, &previous_[0], nullptr);
  ::sigaction(SIGTERM, &previous_[1], nullptr);
  ::sigaction(SIGPIPE, &previous_[2], nullptr);
}

bool ConnectionBoundTrace::ended() {
  if (remoteSignal) return true;
  pollfd ready{STDIN_FILENO, POLLIN, 0};
  while (!stdinEnded_ && ::poll(&ready, 1, 0) > 0) {
    if ((ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (ready.revents & POLLIN) == 0) {
      stdinEnded_ = true;
      break;
    }
    char ignored[512];
    const auto got = ::read(STDIN_FILENO, ignored, sizeof ignored);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) stdinEnded_ = true;
    if (got < 0) break;
  }
  return stdinEnded_;
}

void ConnectionBoundTrace::Recorder::openApplication(const std::string& path, const LaunchOptions& options,
                                                     LaunchCompletion completion) {
  LaunchOptions noted = options;
  noted.spawned = [this, inner = options.spawned](const LaunchedProcess& process) {
    if (process.pid > 0) launched.push_back(process.pid);
    if (inner) inner(process);
  };
  inner_.openApplication(path, noted, std::move(completion));
}

void ConnectionBoundTrace::endLaunchedTree() {
  for (const pid_t pid : recorder_.launched) {
    // Launched in a session of its own, the target leads a process group; a
    // group whose leader is gone keeps its id while any member lives, so the
    // id names nobody else's processes.
    if (::kill(-pid, SIGTERM) != 0) continue;
    const auto asked = std::chrono::steady_clock::now();
    const auto gone = [&] {
      ::waitpid(pid, nullptr, WNOHANG);  // our child: a zombie would count as still there
      return ::kill(-pid, 0) != 0;
    };
    while (!gone() && secondsSince(asked) < kTreeEndSeconds) ::usleep(20000);
    if (!gone()) ::kill(-pid, SIGKILL);
    printError("marrowfield-cli trace: ended what the trace started (process group " + std::to_string(pid) +
               "): a trace through ssh leaves nothing running");
  }
}

}  // namespace mf::cli
