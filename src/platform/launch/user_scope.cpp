// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/user_scope.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <sys/random.h>
#include <systemd/sd-bus.h>

namespace mf {
namespace {

// How long a launch may wait for the user manager: the target is held
// meanwhile.
constexpr std::chrono::milliseconds kAnswerTimeout{1000};

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotDeleter {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

std::uint64_t microsecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 0;
}

// Where sd_bus_open_user looks; without either there is nothing to ask, and
// the target need not be held at all.
bool userBusMayExist() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat info {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Our own child and the helpers it has already forked (its process group,
// when it leads one, as a launch in a session of its own does), stopped for
// as long as this lives. Not yet reaped, the child's PID cannot name
// another process, nor its group another group.
class HeldTree {
 public:
  explicit HeldTree(pid_t pid) : target_(::getpgid(pid) == pid ? -pid : pid) { ::kill(target_, SIGSTOP); }
  ~HeldTree() { ::kill(target_, SIGCONT); }
  HeldTree(const HeldTree&) = delete;
  HeldTree& operator=(const HeldTree&) = delete;

 private:
  pid_t target_;
};

// `pid` and its descendants, from the kernel's lists of each thread's
// children. Held, the tree does not change while it is read.
std::vector<std::uint32_t> processTree(pid_t pid) {
  std::vector<std::uint32_t> tree{static_cast<std::uint32_t>(pid)};
  for (std::size_t i = 0; i < tree.size() && tree.size() < 4096; ++i) {
    const std::string tasks = "/proc/" + std::to_string(tree[i]) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) continue;
    while (const dirent* task = ::readdir(dir)) {
      if (task->d_name[0] == '.') continue;
      std::ifstream children(tasks + "/" + task->d_name + "/children");
      std::uint32_t child = 0;
      while (children >> child) {
        if (std::find(tree.begin(), tree.end(), child) == tree.end()) tree.push_back(child);
      }
    }
    ::closedir(dir);
  }
  return tree;
}

// The start job, from StartTransientUnit's answer to its JobRemoved signal.
// Messages arrive in order (the answer before the job's end), but a signal
// seen first is kept all the same.
struct JobWait {
  bool refused = false;
  std::string job;                                          // its object path
  std::vector<std::pair<std::string, std::string>> ended;  // JobRemoved: path, result

  std::optional<std::string> result() const {
    // No job is named before the answer, and every JobRemoved names one.
    for (const auto& [path, result] : ended) {
      if (path == job) return result;
    }
    return std::nullopt;
  }
};

int onJobRemoved(sd_bus_message* message, void* userdata, sd_bus_error*) {
  std::uint32_t id = 0;
  const char* path = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (sd_bus_message_read(message, "uoss", &id, &path, &unit, &result) >= 0) {
    static_cast<JobWait*>(userdata)->ended.emplace_back(path, result);
  }
  return 0;
}

int onStartAnswered(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& wait = *static_cast<JobWait*>(userdata);
  const char* job = nullptr;
  if (sd_bus_message_is_method_error(reply, nullptr) || sd_bus_message_read(reply, "o", &job) < 0 || !job) {
    wait.refused = true;
  } else {
    wait.job = job;
  }
  return 0;
}

std::string randomSuffix() {
  unsigned int value = 0;
  if (::getrandom(&value, sizeof value, 0) != sizeof value) value = static_cast<unsigned int>(::getpid());
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

}  // namespace

std::string escapeUnitNamePart(std::string_view text) {
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                       c == '_' || (c == '.' && i > 0);
    if (plain) {
      escaped += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      escaped += hex;
    }
  }
  return escaped;
}

std::string applicationScopeName(std::string_view applicationId, std::string_view suffix) {
  return "app-marrowfield-" + escapeUnitNamePart(applicationId) + "-" + std::string(suffix) + ".scope";
}

std::optional<std::string> startApplicationScope(pid_t pid, std::string_view applicationId) {
  if (pid <= 0 || !userBusMayExist()) return std::nullopt;
  // The target must not run before it is in its scope: what it writes (and
  // every helper it forks) in the meantime is filed under our own unit, and
  // journald keeps a sender's unit for up to a second after its first entry.
  // It is held from here on; the stop mostly reaches it while the dynamic
  // loader is still at work, before any of its own code runs.
  // Whatever it forked before the stop reached it goes into the scope too.
  const HeldTree held(pid);

  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) return std::nullopt;
  std::unique_ptr<sd_bus, BusDeleter> bus(raw);
  const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;

  // Asynchronous calls only, driven below against one deadline: sd-bus's
  // own waits (for the authentication, say) last up to 25 s, and a hung
  // bus must not hold the target that long.
  // StartTransientUnit answers once the start job is queued; the process is
  // moved only when that job runs. Wait for its end, as systemd-run --scope
  // does: the job's signal goes to the client that asked for it.
  JobWait wait;
  sd_bus_slot* rawSlot = nullptr;
  if (sd_bus_match_signal_async(bus.get(), &rawSlot, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                "org.freedesktop.systemd1.Manager", "JobRemoved", onJobRemoved, nullptr,
                                &wait) < 0) {
    return std::nullopt;
  }
  std::unique_ptr<sd_bus_slot, SlotDeleter> matchSlot(rawSlot);

  const std::string name = applicationScopeName(applicationId, randomSuffix());
  sd_bus_message* rawMessage = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawMessage, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", "StartTransientUnit") < 0) {
    return std::nullopt;
  }
  std::unique_ptr<sd_bus_message, MessageDeleter> message(rawMessage);
  const std::string description = "Traced by Marrowfield: " + std::string(applicationId);
  const std::vector<std::uint32_t> tree = processTree(pid);
  int r = sd_bus_message_append(message.get(), "ss", name.c_str(), "fail");
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'a', "(sv)");
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'r', "sv");
  if (r >= 0) r = sd_bus_message_append(message.get(), "s", "PIDs");
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'v', "au");
  if (r >= 0) r = sd_bus_message_append_array(message.get(), 'u', tree.data(), tree.size() * sizeof(std::uint32_t));
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_append(message.get(), "(sv)", "Description", "s", description.c_str());
  if (r >= 0) r = sd_bus_message_append(message.get(), "(sv)", "CollectMode", "s", "inactive-or-failed");
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_append(message.get(), "a(sa(sv))", 0);
  if (r < 0) return std::nullopt;
  rawSlot = nullptr;
  // (A timeout of 0 would be sd-bus's default of 25 s.)
  if (sd_bus_call_async(bus.get(), &rawSlot, message.get(), onStartAnswered, &wait,
                        std::max<std::uint64_t>(1, microsecondsUntil(deadline))) < 0) {
    return std::nullopt;
  }
  std::unique_ptr<sd_bus_slot, SlotDeleter> callSlot(rawSlot);

  while (!wait.refused && !wait.result()) {
    const std::uint64_t left = microsecondsUntil(deadline);
    if (left == 0) return std::nullopt;
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) return std::nullopt;
    if (r == 0 && sd_bus_wait(bus.get(), left) < 0) return std::nullopt;
  }
  // "done": the scope runs with the target in it. Anything else (the target
  // already gone, the manager refusing): no scope to follow.
  if (wait.refused || *wait.result() != "done") return std::nullopt;
  return name;
}

}  // namespace mf
