// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform_test_support.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/posix_io.h"
#include "platform/spawn.h"

namespace mf::testing {

bool waitFor(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

LineBatchSink LineCollector::sink() {
  return [store = store_](LineBatch batch) {
    std::lock_guard lock(store->mutex);
    for (std::size_t i = 0; i < batch.size(); ++i) store->lines.emplace_back(batch[i]);
  };
}

std::vector<std::string> LineCollector::lines() const {
  std::lock_guard lock(store_->mutex);
  return store_->lines;
}

bool LineCollector::contains(std::string_view needle) const {
  std::lock_guard lock(store_->mutex);
  for (const auto& line : store_->lines) {
    if (line.find(needle) != std::string::npos) return true;
  }
  return false;
}

std::string LineCollector::joined() const {
  std::lock_guard lock(store_->mutex);
  std::string text;
  for (const auto& line : store_->lines) text += line + "\n";
  return text;
}

std::string randomSuffix() {
  std::random_device device;
  std::ostringstream text;
  text << std::hex << device() << device();
  return text.str().substr(0, 8);
}

TempDir::TempDir() {
  path_ = std::filesystem::temp_directory_path() / ("marrowfield-platform-" + randomSuffix());
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, std::string_view content, bool executable) const {
  const auto file = path_ / name;
  std::ofstream(file, std::ios::binary) << content;
  if (executable) ::chmod(file.c_str(), 0755);
  return file;
}

std::filesystem::path demoExecutable() { return MARROWFIELD_DEMO_PATH; }

std::filesystem::path privateDemo(const TempDir& dir, const std::string& prefix) {
  // Process names are cut at 15 bytes: keep the whole name inside that.
  const auto copy = dir.path() / (prefix.substr(0, 6) + "-" + randomSuffix());
  // Written through close-on-exec descriptors: a child spawned meanwhile by
  // another thread must not hold the file open for writing, or running the
  // copy fails with ETXTBSY. Readable and runnable by everyone, for the tests
  // that run it as an ordinary user.
  std::ifstream source(demoExecutable(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
  const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
  std::size_t written = 0;
  while (fd >= 0 && written < bytes.size()) {
    const auto got = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (got <= 0 && errno != EINTR) break;
    if (got > 0) written += static_cast<std::size_t>(got);
  }
  if (fd < 0 || ::close(fd) != 0 || bytes.empty() || written != bytes.size()) {
    throw std::runtime_error("cannot copy the demo to " + copy.string());
  }
  return copy;
}

std::filesystem::path writeDemoDesktopEntry(const TempDir& dir, const std::string& name,
                                            const std::filesystem::path& program, const std::string& args) {
  return dir.write(name + ".desktop", "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=\"" +
                                          program.string() + "\" " + args + "\n");
}

Demo demoEntry(const TempDir& dir, const std::string& args) {
  const auto link = privateDemo(dir);
  const std::string name = link.filename();
  return {name, writeDemoDesktopEntry(dir, name, link, "--bundle-id " + name + " " + args).string()};
}

Ran runProgram(const std::vector<std::string>& argv, std::vector<std::string> environmentOverrides) {
  auto pipe = posix::makePipe();
  posix::SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.stdoutFd = request.stderrFd = pipe.writeEnd.get();
  request.environmentOverrides = std::move(environmentOverrides);
  auto child = posix::spawnProcess(request);
  pipe.writeEnd.reset();
  Ran ran;
  if (child.pid < 0) return {-1, argv.front() + ": " + posix::errorText(child.error)};
  char buffer[4096];
  for (;;) {
    const auto got = posix::retryOnEintr([&] { return ::read(pipe.readEnd.get(), buffer, sizeof buffer); });
    if (got <= 0) break;
    ran.output.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

namespace {

std::size_t entriesIn(const char* folder) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

bool signalInMask(pid_t pid, const std::string& field, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) {
      const auto mask = std::stoull(line.substr(field.size()), nullptr, 16);
      return (mask >> (signal - 1)) & 1;
    }
  }
  return false;
}

}  // namespace

std::size_t openDescriptorCount() { return entriesIn("/proc/self/fd") - 1; }  // less the directory stream's own
std::size_t threadCount() { return entriesIn("/proc/self/task"); }

std::vector<ChildProcess> childProcesses(pid_t parent) {
  std::vector<ChildProcess> children;
  const pid_t self = parent > 0 ? parent : ::getpid();
  for (const pid_t pid : posix::processIds()) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size()) continue;
    std::istringstream rest(text.substr(close + 2));
    char state = 0;
    pid_t parentOfPid = 0;
    rest >> state >> parentOfPid;
    if (parentOfPid == self) children.push_back({pid, state, text.substr(open + 1, close - open - 1)});
  }
  return children;
}

std::vector<pid_t> zombieChildren() {
  std::vector<pid_t> zombies;
  for (const auto& child : childProcesses()) {
    if (child.state == 'Z') zombies.push_back(child.pid);
  }
  return zombies;
}

std::vector<pid_t> journalctlChildren() {
  std::vector<pid_t> found;
  for (const auto& child : childProcesses()) {
    if (child.name == "journalctl" && child.state != 'Z') found.push_back(child.pid);
  }
  return found;
}

bool processExists(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

bool keepsRunning(pid_t pid) {
  const auto sleeps = [pid] {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("voluntary_ctxt_switches:")) return std::stol(line.substr(24));
    }
    return -1L;
  };
  const long before = sleeps();
  return before >= 0 && waitFor([&] { return sleeps() > before + 10; }) && processExists(pid);
}

bool catchesSignal(pid_t pid, int signal) { return signalInMask(pid, "SigCgt:", signal); }
bool ignoresSignal(pid_t pid, int signal) { return signalInMask(pid, "SigIgn:", signal); }

JournalLogStreamLauncher::Options withoutJournal() {
  JournalLogStreamLauncher::Options options;
  options.journalSocket = "/nonexistent/marrowfield/journal.socket";
  return options;
}

Window::Window(JournalLogStreamLauncher::Options streamOptions)
    : platform(queue, std::move(streamOptions)), view(platform.services(panel, pasteboard)) {}

void Window::choose(const std::string& path) {
  panel.path = path;
  view.chooseApplication();
}

bool Window::runUntil(const std::function<bool()>& condition, double seconds) {
  // Slices, because the condition may change without a post (a process the
  // test itself ends).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    queue.runUntil(condition, 0.05);
  }
  return true;
}

pid_t Window::targetPid() const {
  return view.runningApplication() ? view.runningApplication()->processIdentifier() : -1;
}

std::optional<MarrowfieldEvent> Window::find(std::string_view text) const {
  const auto at = indexOf(text);
  return at < view.events().size() ? std::optional(view.events().at(at)) : std::nullopt;
}

std::size_t Window::indexOf(std::string_view text) const {
  const auto& events = view.events();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].message.find(text) != std::string_view::npos) return i;
  }
  return events.size();
}

std::size_t Window::count(std::string_view text) const {
  const auto& events = view.events();
  std::size_t n = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].message.find(text) != std::string_view::npos) ++n;
  }
  return n;
}

std::string Window::dump(std::size_t maxEvents) const {
  std::string text;
  const auto& events = view.events();
  for (std::size_t i = 0; i < events.size() && i < maxEvents; ++i) {
    const auto event = events[i];
    text += std::string(label(event.type)) + " " + std::string(event.source) + " " +
            std::string(event.message.substr(0, 200)) + "\n";
  }
  if (events.size() > maxEvents) text += "... " + std::to_string(events.size() - maxEvents) + " more\n";
  return text + "status: " + view.statusText();
}

}  // namespace mf::testing
