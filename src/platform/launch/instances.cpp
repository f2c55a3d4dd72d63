// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/instances.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <thread>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "platform/spawn.h"

extern char** environ;

namespace mf {
namespace {

using Environment = std::map<std::string, std::string>;

constexpr std::size_t kMaxEnvironmentSize = 1 << 20;
// The kernel reads this much of a script for its "#!" line (BINPRM_BUF_SIZE).
constexpr std::size_t kShebangLimit = 256;
// /proc/<pid>/sessionid of a process outside any login session.
constexpr unsigned long kNoLoginSession = 4294967295UL;

std::string procPath(pid_t pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

Environment parseEnvironment(const std::string& block) {
  Environment variables;
  std::size_t start = 0;
  while (start < block.size()) {
    auto end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    const std::string entry = block.substr(start, end - start);
    if (const auto equals = entry.find('='); equals != std::string::npos && equals > 0) {
      variables.emplace(entry.substr(0, equals), entry.substr(equals + 1));  // the first wins, as getenv's
    }
    start = end + 1;
  }
  return variables;
}

std::optional<std::string> valueOf(const Environment& variables, const std::string& name) {
  auto it = variables.find(name);
  if (it == variables.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

// ":0.0" and ":0" name the same display; only the screen differs.
std::string displayWithoutScreen(std::string display) {
  const auto colon = display.rfind(':');
  const auto dot = display.rfind('.');
  if (colon != std::string::npos && dot != std::string::npos && dot > colon) display.erase(dot);
  return display;
}

// One bus can be written with or without its guid; an unset address means
// the user bus in the runtime directory, as libdbus and sd-bus take it.
std::string sessionBusOf(const Environment& variables) {
  auto address = valueOf(variables, "DBUS_SESSION_BUS_ADDRESS");
  if (!address) {
    auto runtime = valueOf(variables, "XDG_RUNTIME_DIR");
    return runtime ? "unix:path=" + *runtime + "/bus" : std::string();
  }
  std::string normalized;
  std::size_t start = 0;
  while (start <= address->size()) {
    auto end = address->find(';', start);
    if (end == std::string::npos) end = address->size();
    std::string one = address->substr(start, end - start);
    std::string kept;
    if (const auto colon = one.find(':'); colon != std::string::npos) {
      kept = one.substr(0, colon + 1);
      std::size_t keyStart = colon + 1;
      bool first = true;
      while (keyStart <= one.size()) {
        auto comma = one.find(',', keyStart);
        if (comma == std::string::npos) comma = one.size();
        const std::string pair = one.substr(keyStart, comma - keyStart);
        if (!pair.empty() && pair.rfind("guid=", 0) != 0) {
          kept += (first ? "" : ",") + pair;
          first = false;
        }
        keyStart = comma + 1;
      }
    } else {
      kept = one;
    }
    if (!kept.empty()) normalized += (normalized.empty() ? "" : ";") + kept;
    start = end + 1;
  }
  return normalized;
}

std::optional<std::uint32_t> loginSessionOf(const std::string& path) {
  auto text = os::readProcFile(path, 64);
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text->c_str(), &end, 10);
  if (end == text->c_str() || value >= kNoLoginSession) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<uid_t> realUidOf(pid_t pid) {
  auto status = os::readProcFile(procPath(pid, "status"), 1 << 16);
  if (!status) return std::nullopt;
  const auto line = status->find("\nUid:");
  if (line == std::string::npos) return std::nullopt;
  char* end = nullptr;
  const char* begin = status->c_str() + line + 5;
  const unsigned long value = std::strtoul(begin, &end, 10);
  if (end == begin) return std::nullopt;
  return static_cast<uid_t>(value);
}

SessionIdentity sessionFrom(uid_t uid, std::optional<std::uint32_t> loginSession, const Environment& variables) {
  SessionIdentity session;
  session.realUid = uid;
  session.loginSession = loginSession;
  if (auto display = valueOf(variables, "DISPLAY")) session.x11Display = displayWithoutScreen(*display);
  session.waylandDisplay = valueOf(variables, "WAYLAND_DISPLAY");
  session.sessionBus = sessionBusOf(variables);
  return session;
}

// Both on the same desktop: every display both name is the same, and they
// share at least one (or neither has any, as on a text console).
bool sameDisplay(const SessionIdentity& a, const SessionIdentity& b) {
  bool shared = false;
  for (const auto& [mine, theirs] : {std::pair{&a.x11Display, &b.x11Display},
                                     std::pair{&a.waylandDisplay, &b.waylandDisplay}}) {
    if (!*mine || !*theirs) continue;
    if (**mine != **theirs) return false;
    shared = true;
  }
  return shared || (!a.x11Display && !a.waylandDisplay && !b.x11Display && !b.waylandDisplay);
}

bool stillRunning(const os::UniqueFd& pidfd) {
  pollfd entry{pidfd.get(), POLLIN, 0};
  // A pidfd becomes readable when its process exits.
  return os::retryOnEintr([&] { return ::poll(&entry, 1, 0); }) == 0;
}

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct CredsDeleter {
  void operator()(sd_bus_creds* creds) const { sd_bus_creds_unref(creds); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using BusPointer = std::unique_ptr<sd_bus, BusDeleter>;
using MessagePointer = std::unique_ptr<sd_bus_message, MessageDeleter>;

BusPointer connectTo(const std::string& address, bool monitor, std::uint64_t timeoutMicroseconds) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return nullptr;
  BusPointer bus(raw);
  if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
      sd_bus_set_monitor(raw, monitor ? 1 : 0) < 0 ||
      sd_bus_set_method_call_timeout(raw, timeoutMicroseconds) < 0 || sd_bus_start(raw) < 0) {
    return nullptr;
  }
  return bus;
}

std::optional<pid_t> pidOfConnection(sd_bus* bus, const char* name) {
  sd_bus_creds* rawCreds = nullptr;
  // Not a valid bus name (a desktop ID without dots) has no owner either.
  if (sd_bus_get_name_creds(bus, name, SD_BUS_CREDS_PID, &rawCreds) < 0) return std::nullopt;
  std::unique_ptr<sd_bus_creds, CredsDeleter> creds(rawCreds);
  pid_t pid = 0;
  if (sd_bus_creds_get_pid(rawCreds, &pid) < 0 || pid <= 0) return std::nullopt;
  return pid;
}

constexpr std::uint64_t kBusTimeoutMicroseconds = 500000;
// An exec lays out arguments and environment within a moment; 20 looks 5 ms
// apart wait out a loaded machine and bound what one process can cost a scan.
constexpr int kExecSettleAttempts = 20;
constexpr const char* kSettlePath = "/org/marrowfield/HandOffWatch";
constexpr const char* kSettleInterface = "org.marrowfield.HandOffWatch";
// Calls kept per watch: a launch makes a few dozen; a bound all the same.
constexpr std::size_t kMaxWatchedCalls = 4096;

}  // namespace

std::optional<FileIdentity> fileIdentityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

SessionIdentity ownSession(const EnvironmentOverrides& overrides) {
  Environment variables;
  for (const auto& [name, value] : overrides) variables[name] = value;  // a launch's own values win
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text(*entry);
    if (const auto equals = text.find('='); equals != std::string::npos && equals > 0) {
      variables.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
  }
  return sessionFrom(::getuid(), loginSessionOf("/proc/self/sessionid"), variables);
}

std::optional<SessionIdentity> sessionOf(pid_t pid) {
  // A process in the middle of exec shows its new program a moment before
  // its arguments and environment, which both read empty until the kernel
  // has laid them out; read then, the environment would pass for "no
  // display, no bus", our own session when we have neither. A program always
  // has its name as an argument, so an empty command line means: not yet.
  // A program started with an empty environment has its arguments all the
  // same. The kernel lays out both at once, so an empty environment read
  // just before the arguments appeared is read again.
  std::optional<std::string> block;
  bool laidOut = false;
  for (int attempt = 0;; ++attempt) {
    block = os::readProcFile(procPath(pid, "environ"), kMaxEnvironmentSize);
    if (!block) return std::nullopt;
    if (!block->empty() || laidOut) break;
    laidOut = !os::commandLineOf(pid).empty();
    if (laidOut) continue;
    if (attempt == kExecSettleAttempts) return std::nullopt;  // not known to be ours
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto uid = realUidOf(pid);
  if (!uid) return std::nullopt;
  return sessionFrom(*uid, loginSessionOf(procPath(pid, "sessionid")), parseEnvironment(*block));
}

bool sameSession(const SessionIdentity& own, const SessionIdentity& other) {
  if (own.realUid != other.realUid) return false;
  // Two login sessions the kernel tells apart are two sessions. One login
  // session may still drive two desktops (a second X server started from
  // it), so the display and the bus must match in any case: quitting a
  // program on a desktop the user is not looking at is the one mistake
  // Fresh Launch must not make.
  if (own.loginSession && other.loginSession && *own.loginSession != *other.loginSession) return false;
  return sameDisplay(own, other) && own.sessionBus == other.sessionBus;
}

std::optional<ProgramIdentity> programIdentityOf(const std::string& instanceExecutable) {
  auto file = fileIdentityOf(instanceExecutable);
  if (!file) return std::nullopt;
  ProgramIdentity program;
  program.executable = *file;

  os::UniqueFd fd(::open(instanceExecutable.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return program;
  char buffer[kShebangLimit];
  const auto got = os::retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
  if (got < 2 || buffer[0] != '#' || buffer[1] != '!') return program;

  // As the kernel reads it: the interpreter up to the first blank, then at
  // most one argument, the rest of the line without its surrounding blanks.
  std::string line(buffer + 2, static_cast<std::size_t>(got) - 2);
  line = line.substr(0, line.find('\n'));
  const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t at = 0;
  while (at < line.size() && isBlank(line[at])) ++at;
  std::size_t end = at;
  while (end < line.size() && !isBlank(line[end])) ++end;
  const std::string interpreter = line.substr(at, end - at);
  std::string argument = line.substr(end);
  while (!argument.empty() && isBlank(argument.front())) argument.erase(argument.begin());
  while (!argument.empty() && (isBlank(argument.back()) || argument.back() == '\r')) argument.pop_back();
  if (interpreter.empty()) return std::nullopt;

  auto interpreterFile = fileIdentityOf(interpreter);
  if (!interpreterFile) return std::nullopt;
  program.executable = *interpreterFile;
  program.script = *file;
  program.scriptArgument = argument.empty() ? 1 : 2;
  // "#!/usr/bin/env python3" runs env only for a moment: it replaces itself
  // with the named program, which keeps the script as its first argument.
  const bool viaEnv = interpreter.size() >= 4 && interpreter.compare(interpreter.size() - 4, 4, "/env") == 0;
  if (viaEnv && !argument.empty() && argument.front() != '-' &&
      argument.find_first_of(" \t") == std::string::npos) {
    auto named = os::findInPath(argument);
    auto namedFile = named ? fileIdentityOf(*named) : std::nullopt;
    if (!namedFile) return std::nullopt;
    program.executable = *namedFile;
    program.scriptArgument = 1;
  }
  return program;
}

bool runsProgram(pid_t pid, const ProgramIdentity& program) {
  if (fileIdentityOf(procPath(pid, "exe")) != program.executable) return false;
  if (!program.script) return true;
  // Only the slot the kernel fills: `tail -f app.sh` or `vi app.sh` run
  // other programs that merely name the script.
  const auto args = os::commandLineOf(pid);
  if (args.size() <= program.scriptArgument) return false;
  const std::string& path = args[program.scriptArgument];
  if (path.empty()) return false;
  return fileIdentityOf(path.front() == '/' ? path : procPath(pid, "cwd") + "/" + path) == program.script;
}

std::optional<PinnedProcess> pinIfInstance(pid_t pid, const ProgramIdentity& program,
                                           const SessionIdentity& session) {
  const auto matches = [&] {
    if (!runsProgram(pid, program)) return false;
    const auto theirs = sessionOf(pid);
    return theirs && sameSession(session, *theirs);
  };
  if (pid <= 0 || pid == ::getpid() || !matches()) return std::nullopt;
  // Pin the process, then look again: the pid may have been reused in
  // between. While the pinned process still runs afterwards, what we read
  // under its pid was its own.
  auto pidfd = os::pidfdOpen(pid);
  if (!pidfd.valid() || !matches() || !stillRunning(pidfd)) return std::nullopt;
  return PinnedProcess{pid, std::move(pidfd)};
}

std::vector<PinnedProcess> instancesOf(const ProgramIdentity& program, const SessionIdentity& session) {
  std::vector<PinnedProcess> found;
  for (pid_t pid : os::processIds()) {
    if (auto pinned = pinIfInstance(pid, program, session)) found.push_back(std::move(*pinned));
  }
  return found;
}

std::vector<std::optional<pid_t>> busNameOwners(const std::string& address, const std::vector<std::string>& names,
                                                std::uint64_t timeoutMicroseconds) {
  std::vector<std::optional<pid_t>> owners(names.size());
  if (address.empty() || names.empty()) return owners;
  auto bus = connectTo(address, false, timeoutMicroseconds);
  if (!bus) return owners;
  for (std::size_t i = 0; i < names.size(); ++i) owners[i] = pidOfConnection(bus.get(), names[i].c_str());
  return owners;
}

struct BusCallWatch::State {
  BusPointer monitor;
  BusPointer query;  // asks who a new connection is, and sends the settle marks
  std::string queryName;
  std::chrono::steady_clock::time_point until;
  os::UniqueFd wake;
  std::thread thread;

  // The process behind each connection made since the start, and its
  // ancestors, as they were when it connected (it may be gone by the end).
  // Touched by the watch's thread only.
  std::map<std::string, std::vector<pid_t>> newConnections;

  std::set<std::string> seenCalls;  // sender and destination, once each

  std::mutex mutex;
  std::condition_variable changed;
  struct Call {
    std::vector<pid_t> lineage;
    std::string destination;
  };
  std::vector<Call> calls;
  std::uint64_t marksAsked = 0;
  std::uint64_t marksSent = 0;
  std::uint64_t marksSeen = 0;
  bool stop = false;
  bool ended = false;

  void run();
  void note(sd_bus_message* message);
  std::vector<pid_t> lineageOf(const char* connection);
};

std::vector<pid_t> BusCallWatch::State::lineageOf(const char* connection) {
  std::vector<pid_t> lineage;
  auto pid = pidOfConnection(query.get(), connection);
  for (pid_t at = pid.value_or(0); at > 1 && lineage.size() < 64;) {
    lineage.push_back(at);
    const auto parent = os::statFieldOf(at, 4);
    if (!parent) break;
    at = static_cast<pid_t>(*parent);
  }
  return lineage;
}

void BusCallWatch::State::note(sd_bus_message* message) {
  std::uint8_t type = 0;
  if (sd_bus_message_get_type(message, &type) < 0) return;
  const char* sender = sd_bus_message_get_sender(message);
  if (!sender) return;
  if (type == SD_BUS_MESSAGE_SIGNAL) {
    if (sd_bus_message_is_signal(message, kSettleInterface, "Settle") > 0 && queryName == sender) {
      std::lock_guard lock(mutex);
      ++marksSeen;
      changed.notify_all();
      return;
    }
    if (std::strcmp(sender, "org.freedesktop.DBus") != 0 ||
        sd_bus_message_is_signal(message, "org.freedesktop.DBus", "NameOwnerChanged") <= 0) {
      return;
    }
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 || !name || name[0] != ':') return;
    if (newOwner && *newOwner) {
      // Asked at once, while the new connection most likely still waits
      // for its first answers.
      newConnections[name] = lineageOf(name);
    } else {
      newConnections.erase(name);
    }
    return;
  }
  if (type != SD_BUS_MESSAGE_METHOD_CALL) return;
  const char* destination = sd_bus_message_get_destination(message);
  if (!destination || std::strcmp(destination, "org.freedesktop.DBus") == 0) return;
  // A connection older than the watch is not the launch's.
  auto connection = newConnections.find(sender);
  if (connection == newConnections.end() || connection->second.empty()) return;
  if (seenCalls.size() >= kMaxWatchedCalls || !seenCalls.insert(std::string(sender) + " " + destination).second) return;
  std::lock_guard lock(mutex);
  calls.push_back({connection->second, destination});
}

void BusCallWatch::State::run() {
  for (;;) {
    {
      std::unique_lock lock(mutex);
      if (stop || std::chrono::steady_clock::now() >= until) break;
      if (marksSent < marksAsked) {
        ++marksSent;
        lock.unlock();
        // A signal to ourselves, which the monitor sees after whatever the
        // bus received before it.
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_signal(query.get(), &raw, kSettlePath, kSettleInterface, "Settle") >= 0) {
          MessagePointer mark(raw);
          if (sd_bus_message_set_destination(raw, queryName.c_str()) < 0 || sd_bus_send(query.get(), raw, nullptr) < 0 ||
              sd_bus_flush(query.get()) < 0) {
            break;
          }
        }
      }
    }
    sd_bus_message* raw = nullptr;
    const int processed = sd_bus_process(monitor.get(), &raw);
    if (processed < 0) break;
    if (raw) {
      MessagePointer message(raw);
      if (sd_bus_message_is_signal(raw, "org.freedesktop.DBus.Local", "Disconnected") > 0) break;
      note(raw);
    }
    if (processed > 0) continue;
    // The query connection's own incoming messages (our marks among them)
    // are of no interest; keep its queue from growing.
    for (;;) {
      sd_bus_message* ignored = nullptr;
      if (sd_bus_process(query.get(), &ignored) <= 0) break;
      if (ignored) sd_bus_message_unref(ignored);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd fds[2] = {{sd_bus_get_fd(monitor.get()), static_cast<short>(sd_bus_get_events(monitor.get())), 0},
                     {wake.get(), POLLIN, 0}};
    const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1000));
    if (os::retryOnEintr([&] { return ::poll(fds, 2, timeout); }) < 0) break;
    if (fds[1].revents & POLLIN) os::drainWakeFd(wake.get());
  }
  std::lock_guard lock(mutex);
  ended = true;
  changed.notify_all();
}

BusCallWatch::BusCallWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<BusCallWatch> BusCallWatch::start(const std::string& address, std::chrono::milliseconds lifetime) {
  if (address.empty()) return nullptr;
  auto state = std::make_unique<State>();
  state->until = std::chrono::steady_clock::now() + lifetime;
  state->query = connectTo(address, false, kBusTimeoutMicroseconds);
  state->monitor = connectTo(address, true, kBusTimeoutMicroseconds);
  state->wake = os::makeWakeFd();
  if (!state->query || !state->monitor || !state->wake.valid()) return nullptr;
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(state->query.get(), &unique) < 0 || !unique) return nullptr;
  state->queryName = unique;

  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(state->monitor.get(), &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus.Monitoring", "BecomeMonitor") < 0) {
    return nullptr;
  }
  MessagePointer become(raw);
  const std::string connections =
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'";
  const std::string marks = "type='signal',sender='" + state->queryName + "',path='" + kSettlePath + "'";
  if (sd_bus_message_append(raw, "as", 3, "type='method_call'", connections.c_str(), marks.c_str()) < 0 ||
      sd_bus_message_append(raw, "u", 0u) < 0) {
    return nullptr;
  }
  if (sd_bus_call(state->monitor.get(), raw, kBusTimeoutMicroseconds, nullptr, nullptr) < 0) return nullptr;
  State* running = state.get();
  state->thread = std::thread([running] { running->run(); });
  return std::unique_ptr<BusCallWatch>(new BusCallWatch(std::move(state)));
}

BusCallWatch::~BusCallWatch() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  os::signalWakeFd(state_->wake.get());
  state_->thread.join();
}

std::vector<std::string> BusCallWatch::namesCalledBy(pid_t pid, std::chrono::milliseconds settle) {
  std::unique_lock lock(state_->mutex);
  const std::uint64_t mark = ++state_->marksAsked;
  lock.unlock();
  os::signalWakeFd(state_->wake.get());
  lock.lock();
  state_->changed.wait_for(lock, settle, [&] { return state_->marksSeen >= mark || state_->ended; });
  std::vector<std::string> names;
  for (const auto& call : state_->calls) {
    if (std::find(call.lineage.begin(), call.lineage.end(), pid) == call.lineage.end()) continue;
    if (std::find(names.begin(), names.end(), call.destination) == names.end()) names.push_back(call.destination);
  }
  return names;
}

}  // namespace mf
