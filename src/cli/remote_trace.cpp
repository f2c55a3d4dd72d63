// SPDX-License-Identifier: GPL-3.0-or-later
#include "remote_trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analysis/visible.h"
#include "help_text.h"
#include "json_output.h"
#include "platform/system_calls.h"
#include "terminal_text.h"
#include "trace_report.h"
#include "verdict/verdict.h"

extern char** environ;

namespace mf::cli {
namespace {

// How long the other side may take to stop, take its late lines and end
// what it launched after a Ctrl-C here, before the connection is cut.
constexpr double kStopAnswerSeconds = 15.0;
// How long a stopped target's group has to end before it is killed.
constexpr double kTreeEndSeconds = 3.0;
// Each line the check on the other side writes starts with it, so lines a
// shell start-up file there prints first are told apart.
constexpr std::string_view kMark = "marrowfield-remote ";

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

std::optional<EventType> typeNamed(const std::string& name) {
  if (name == "info") return EventType::info;
  if (name == "warning") return EventType::warning;
  if (name == "error") return EventType::error;
  if (name == "success") return EventType::success;
  return std::nullopt;
}

LineOrigin originNamed(const std::string& name) {
  for (const auto origin : {LineOrigin::journal, LineOrigin::standardOutput, LineOrigin::standardError}) {
    if (originName(origin) == name) return origin;
  }
  return LineOrigin::trace;
}

// The event's own id where it is one, so --json here repeats the ids there.
Uuid idFrom(const std::string& text, std::uint64_t fallback) {
  Uuid id;
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '-') continue;
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (value < 0 || digits >= 32) return idFrom({}, fallback);
    id.bytes[digits / 2] = static_cast<std::uint8_t>(id.bytes[digits / 2] | (value << (digits % 2 ? 0 : 4)));
    ++digits;
  }
  if (digits == 32) return id;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(fallback >> (8 * i));
  return Uuid::fromRandomBytes(bytes);
}

// "+0200" as a POSIX TZ value, so HH:mm:ss read as the other machine's clock
// shows them (the sign of a TZ offset is the other way round).
std::optional<std::string> zoneFromOffset(const std::string& offset) {
  if (offset.size() != 5 || (offset[0] != '+' && offset[0] != '-')) return std::nullopt;
  for (std::size_t i = 1; i < 5; ++i) {
    if (offset[i] < '0' || offset[i] > '9') return std::nullopt;
  }
  return "HOST" + std::string(1, offset[0] == '+' ? '-' : '+') + offset.substr(1, 2) + ":" + offset.substr(3, 2);
}

void writeOut(const std::string& text) {
  const std::string out = forOutput(text);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// ssh, started in a session of its own (a Ctrl-C at the terminal is ours to
// pass on, not ssh's to die of) with its three streams on pipes.
struct SshProcess {
  pid_t pid = -1;
  int error = 0;
  os::UniqueFd input, output, errors;
};

SshProcess startSsh(const std::vector<std::string>& args) {
  SshProcess ssh;
  auto in = os::makePipe();
  auto out = os::makePipe();
  auto err = os::makePipe();
  if (!in.readEnd.valid() || !out.readEnd.valid() || !err.readEnd.valid()) {
    ssh.error = errno;
    return ssh;
  }
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
  ssh.error = posix_spawnp(&ssh.pid, argv[0], &actions, &attributes, argv.data(), environ);
  if (ssh.error != 0) ssh.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ssh.input = std::move(in.writeEnd);
  ssh.output = std::move(out.readEnd);
  ssh.errors = std::move(err.readEnd);
  return ssh;
}

// Reads the other side's output and keeps the trace it describes.
class RemoteReader {
 public:
  RemoteReader(const TraceOptions& options, const std::optional<Baseline>& baseline)
      : options_(options), baseline_(baseline), query_(options.searchText) {}

  // One line of ssh's stdout.
  void takeLine(const std::string& line) {
    if (state_ == State::shellNoise) {
      if (!line.starts_with(kMark)) return;  // a start-up file's greeting
      state_ = State::check;
    }
    if (state_ == State::check) {
      if (line.starts_with(kMark)) return takeCheck(line.substr(kMark.size()));
      state_ = State::trace;
    }
    if (state_ != State::trace || line.find_first_not_of(" \t\r") == std::string::npos) return;
    const auto object = readJsonObject(line);
    const auto member = [&](const char* name) {
      const auto at = object ? object->find(name) : decltype(object->end()){};
      return object && at != object->end() ? at->second : std::string();
    };
    if (!object || member("schema") != kJsonSchema) {
      if (!malformed_) malformed_ = line.substr(0, 200);
      return;
    }
    const std::string kind = member("kind");
    if (kind == "trace" && !started_) {
      started_ = true;
      header_.appName = indentContinuationLines(member("app"));
      header_.appPath = indentContinuationLines(member("path"));
      header_.bundleIdentifier = indentContinuationLines(member("identifier"));
      header_.showRawLog = options_.showRawLog;
      header_.host = indentContinuationLines(*options_.host);
      if (options_.json) writeOut(traceJson(member("app"), member("path"), member("identifier"), *options_.host) + "\n");
    } else if (kind == "event" && started_) {
      const auto type = typeNamed(member("type"));
      if (!type) return;
      append(idFrom(member("id"), events_.size()), std::strtod(member("time").c_str(), nullptr), *type, member("source"),
             member("message"), member("noise") == "true", originNamed(member("origin")), true);
    } else if (kind == "verdict" && started_) {
      finished_ = true;
    }
  }

  // The trace was cut off: said as its last event, at this machine's time.
  void connectionLost(const std::string& reason) {
    if (!started_ || finished_) return;
    append(idFrom({}, events_.size() + (std::uint64_t{1} << 63)), static_cast<double>(std::time(nullptr)),
           EventType::error, "SESSION", "Connection to " + *options_.host + " lost: " + reason, false,
           LineOrigin::trace, false);
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

  bool started() const { return started_; }
  bool finished() const { return finished_; }
  bool missing() const { return missing_; }
  const std::string& version() const { return version_; }
  const std::optional<std::string>& schema() const { return schema_; }
  const std::optional<std::string>& malformed() const { return malformed_; }

 private:
  void takeCheck(const std::string& said) {
    if (said == "missing") {
      missing_ = true;
    } else if (said.starts_with("zone ")) {
      if (const auto zone = zoneFromOffset(said.substr(5))) {
        ::setenv("TZ", zone->c_str(), 1);
        ::tzset();
      }
    } else if (said.starts_with("version ")) {
      version_ = said.substr(8);
      if (version_.starts_with("marrowfield-cli ")) version_ = version_.substr(16);
    } else if (said.starts_with("schema ")) {
      schema_ = said.substr(7);
    }
  }

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

  enum class State { shellNoise, check, trace };
  const TraceOptions& options_;
  const std::optional<Baseline>& baseline_;
  SearchQuery query_;
  State state_ = State::shellNoise;
  SummaryHeader header_;
  EventList events_;
  bool started_ = false;
  bool finished_ = false;
  bool missing_ = false;
  std::string version_;
  std::optional<std::string> schema_;
  std::optional<std::string> malformed_;
};

// Splits a stream into lines; the last one may come without its line feed.
class LineBuffer {
 public:
  template <typename Take>
  void add(const char* data, std::size_t size, Take&& take) {
    pending_.append(data, size);
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
      take(pending_.substr(start, end - start));
    }
    pending_.erase(0, start);
  }
  template <typename Take>
  void end(Take&& take) {
    if (!pending_.empty()) take(std::exchange(pending_, {}));
  }

 private:
  std::string pending_;
};

int statusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

}  // namespace

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

std::string remoteCommand(const TraceOptions& options) {
  // $1 is the schema this side reads; the trace runs only when the
  // marrowfield-cli there writes it. `trace --schema` is older than no
  // release that writes JSON, so its absence means "too old".
  static constexpr const char* kScript =
      "if ! command -v marrowfield-cli >/dev/null 2>&1; then echo 'marrowfield-remote missing'; exit 127; fi\n"
      "echo \"marrowfield-remote zone $(date +%z)\"\n"
      "echo \"marrowfield-remote version $(marrowfield-cli --version 2>/dev/null)\"\n"
      "schema=$(marrowfield-cli trace --schema 2>/dev/null)\n"
      "echo \"marrowfield-remote schema $schema\"\n"
      "[ \"$schema\" = \"$1\" ] || exit 3\n"
      "shift\n"
      "exec marrowfield-cli trace --json --until-stdin-closes \"$@\"\n";
  std::vector<std::string> args = {std::string(kJsonSchema), options.app};
  if (options.showRawLog) args.emplace_back("--raw");
  if (!options.searchText.empty()) args.insert(args.end(), {"--search", options.searchText});
  if (options.seconds) args.insert(args.end(), {"--seconds", numberText(*options.seconds)});
  if (!options.freshLaunch) args.emplace_back("--no-fresh-launch");
  if (!options.qtLevelPrefix) args.emplace_back("--no-qt-levels");
  for (const auto& [name, value] : options.environment) args.insert(args.end(), {"--env", name + "=" + value});
  args.emplace_back("--");
  args.insert(args.end(), options.arguments.begin(), options.arguments.end());
  // The login shell there may be any; `sh -c` gives the script the same
  // shell everywhere, and single quotes mean the same in all of them.
  std::string command = "exec sh -c " + shellQuoted(kScript) + " marrowfield-remote";
  for (const auto& arg : args) command += " " + shellQuoted(arg);
  return command;
}

int runRemoteTrace(const TraceOptions& options, const std::optional<Baseline>& baseline) {
  const std::string& host = *options.host;
  const std::string prefix = "marrowfield-cli trace: ";
  // BatchMode: a password or passphrase prompt would wait for ever. The
  // rest of the user's configuration (keys, agent, jump hosts, a shared
  // connection) is theirs. -T: the stream needs no terminal.
  SshProcess ssh = startSsh({"ssh", "-T", "-o", "BatchMode=yes", "-o",
                             "ConnectTimeout=" + std::to_string(kConnectTimeoutSeconds), "--", host,
                             remoteCommand(options)});
  if (ssh.pid < 0) {
    printError(prefix + "cannot run ssh: " + os::errorText(ssh.error) +
               (ssh.error == ENOENT ? " (install the OpenSSH client, openssh-client)" : ""));
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = onLocalSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction previousInt {}, previousTerm {};
  ::sigaction(SIGINT, &action, &previousInt);
  ::sigaction(SIGTERM, &action, &previousTerm);

  RemoteReader reader(options, baseline);
  LineBuffer outLines, errLines;
  std::string lastError;
  const auto takeOut = [&](const std::string& line) { reader.takeLine(line); };
  const auto takeErr = [&](const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    std::string said = line;
    while (!said.empty() && said.back() == '\r') said.pop_back();
    printError(said);
    lastError = said;
  };
  std::optional<std::chrono::steady_clock::time_point> stopAsked;
  std::string cutReason;
  int status = -1;
  char buffer[65536];
  while (ssh.output.valid() || ssh.errors.valid()) {
    if (localSignal != 0 && !stopAsked) {
      stopAsked = std::chrono::steady_clock::now();
      localSignal = 0;
      ssh.input.reset();  // the other side's stdin ends: it stops there
    } else if (stopAsked && (localSignal != 0 || secondsSince(*stopAsked) > kStopAnswerSeconds) && cutReason.empty()) {
      cutReason = localSignal != 0 ? "stopped here before " + host + " had answered"
                                   : host + " did not end the trace within " + numberText(kStopAnswerSeconds) + " s";
      ::kill(ssh.pid, SIGTERM);
    }
    pollfd ready[2] = {{ssh.output.valid() ? ssh.output.get() : -1, POLLIN, 0},
                       {ssh.errors.valid() ? ssh.errors.get() : -1, POLLIN, 0}};
    if (::poll(ready, 2, 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (ready[i].fd < 0 || ready[i].revents == 0) continue;
      auto& fd = i == 0 ? ssh.output : ssh.errors;
      const auto got = ::read(fd.get(), buffer, sizeof buffer);
      if (got > 0) {
        if (i == 0) outLines.add(buffer, static_cast<std::size_t>(got), takeOut);
        else errLines.add(buffer, static_cast<std::size_t>(got), takeErr);
      } else if (got == 0 || errno != EINTR) {
        fd.reset();
      }
    }
    // ssh gone, though a process it left behind (a shared connection's
    // master) may hold the pipes: what they hold now is all there is.
    int waitStatus = 0;
    if (status < 0 && ::waitpid(ssh.pid, &waitStatus, WNOHANG) == ssh.pid) {
      status = statusOf(waitStatus);
      for (auto* fd : {&ssh.output, &ssh.errors}) {
        if (fd->valid()) ::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
      }
    }
    if (status >= 0) {
      for (int i = 0; i < 2; ++i) {
        auto& fd = i == 0 ? ssh.output : ssh.errors;
        if (!fd.valid()) continue;
        ssize_t got;
        while ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
          if (i == 0) outLines.add(buffer, static_cast<std::size_t>(got), takeOut);
          else errLines.add(buffer, static_cast<std::size_t>(got), takeErr);
        }
        fd.reset();
      }
    }
  }
  outLines.end(takeOut);
  errLines.end(takeErr);
  if (status < 0) {
    int waitStatus = 0;
    if (os::retryOnEintr([&] { return ::waitpid(ssh.pid, &waitStatus, 0); }) == ssh.pid) status = statusOf(waitStatus);
  }
  ::sigaction(SIGINT, &previousInt, nullptr);
  ::sigaction(SIGTERM, &previousTerm, nullptr);

  const std::string version = help::kVersion;
  if (!reader.started()) {
    if (reader.missing()) {
      printError(prefix + host + " has no marrowfield-cli in the PATH of its shell: install marrowfield-cli " + version +
                 " there");
    } else if (reader.schema() && *reader.schema() != kJsonSchema) {
      const std::string theirs = reader.version().empty() ? "an unknown version" : reader.version();
      const auto major = [](std::string_view schema) {
        return schema.starts_with("marrowfield-trace/") ? std::atol(std::string(schema.substr(18)).c_str()) : 0L;
      };
      const bool newer = major(*reader.schema()) > major(kJsonSchema);
      if (newer) {
        printError(prefix + host + " has marrowfield-cli " + theirs + ", which writes " + *reader.schema() +
                   ", newer than this marrowfield-cli " + version + " reads: install marrowfield-cli " + theirs +
                   " here, or " + version + " there");
      } else {
        printError(prefix + host + " has marrowfield-cli " + theirs + ", which cannot write " +
                   std::string(kJsonSchema) + ": install marrowfield-cli " + version + " there");
      }
    } else if (reader.malformed()) {
      printError(prefix + host + " answered with what is not marrowfield-cli trace output: " + *reader.malformed());
    } else if (status == 255) {
      printError(prefix + "ssh could not reach " + host + (lastError.empty() ? "" : " (see above)"));
    } else if (status != 2) {  // 2: the trace there said why it could not start
      printError(prefix + "the trace on " + host + " ended before it began (status " + std::to_string(status) + ")");
    }
    return 2;
  }
  if (!reader.finished()) {
    std::string reason = cutReason;
    if (reason.empty()) reason = lastError;
    if (reason.empty()) reason = "ssh ended with status " + std::to_string(status);
    reader.connectionLost(reason);
  }
  return reader.finish();
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
