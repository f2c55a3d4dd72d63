// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform_test_support.h"

#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/system_calls.h"
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
    for (std::size_t i = 0; i < batch.size(); ++i) {
      store->lines.emplace_back(batch[i]);
      store->times.push_back(batch.info(i).time);
    }
  };
}

std::vector<double> LineCollector::times() const {
  std::lock_guard lock(store_->mutex);
  return store_->times;
}

std::vector<std::string> LineCollector::lines() const {
  std::lock_guard lock(store_->mutex);
  return store_->lines;
}

bool LineCollector::contains(std::string_view needle) const { return joined().find(needle) != std::string::npos; }

std::string LineCollector::joined() const {
  std::string text;
  for (const auto& line : lines()) text += line + "\n";
  return text;
}

std::string randomSuffix() {
  std::random_device device;
  std::ostringstream text;
  text << std::hex << device() << device();
  return text.str().substr(0, 8);
}

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / ("marrowfield-platform-" + randomSuffix())) {
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

std::filesystem::path privateDemo(const TempDir& dir, const std::string& prefix, const std::filesystem::path& program) {
  // Process names are cut at 15 bytes: keep the whole name inside that.
  const auto copy = dir.path() / (prefix.substr(0, 6) + "-" + randomSuffix());
  // Written through a close-on-exec descriptor: a child spawned meanwhile by
  // another thread must not hold the file open for writing, or running the
  // copy fails with ETXTBSY. Runnable by everyone, for the tests that run it
  // as an ordinary user. (sendfile copies a file this size in one call.)
  os::UniqueFd from(::open(program.c_str(), O_RDONLY | O_CLOEXEC));
  os::UniqueFd to(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755));
  struct stat file {};
  if (!from.valid() || !to.valid() || ::fstat(from.get(), &file) != 0 ||
      ::sendfile(to.get(), from.get(), nullptr, static_cast<std::size_t>(file.st_size)) != file.st_size ||
      ::close(to.release()) != 0) {
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
  const auto copy = privateDemo(dir);
  const std::string name = copy.filename();
  return {name, writeDemoDesktopEntry(dir, name, copy, "--bundle-id " + name + " " + args).string()};
}

Ran runProgram(const std::vector<std::string>& argv, std::vector<std::string> environmentOverrides,
               const std::function<bool(pid_t, const std::string&)>& whileRunning, bool onTerminal) {
  auto pipe = os::makePipe();
  if (onTerminal) {
    auto terminal = os::openPseudoTerminal(0, 0);
    pipe = {std::move(terminal.master), std::move(terminal.slave)};
  }
  os::SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.stdoutFd = request.stderrFd = pipe.writeEnd.get();
  request.environmentOverrides = std::move(environmentOverrides);
  auto child = os::spawnProcess(request);
  pipe.writeEnd.reset();
  if (child.pid < 0) return {-1, argv.front() + ": " + os::errorText(child.error)};
  Ran ran;
  bool acted = !whileRunning;
  char buffer[4096];
  for (ssize_t got; (got = os::retryOnEintr([&] { return ::read(pipe.readEnd.get(), buffer, sizeof buffer); })) > 0;) {
    ran.output.append(buffer, static_cast<std::size_t>(got));
    if (!acted) acted = whileRunning(child.pid, ran.output);
  }
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

std::size_t openDescriptorCount() {
  // Less the directory stream's own.
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

std::size_t threadCount() { return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

std::vector<ChildProcess> childProcesses(pid_t parent) {
  std::vector<ChildProcess> children;
  for (const pid_t pid : os::processIds()) {
    const auto stat = os::processStatOf(pid);
    if (stat && stat->parent == (parent > 0 ? parent : ::getpid())) children.push_back({pid, stat->state, stat->name});
  }
  return children;
}

std::vector<pid_t> zombieChildren() {
  std::vector<pid_t> zombies;
  for (const auto& child : childProcesses()) if (child.state == 'Z') zombies.push_back(child.pid);
  return zombies;
}

bool processExists(pid_t pid) {
  const auto stat = os::processStatOf(pid);
  return stat && stat->state != 'Z';
}

bool signalOwnChild(pid_t pid, int signal) {
  const auto pidfd = os::pidfdOpen(pid);
  const auto stat = os::processStatOf(pid);
  return pidfd.valid() && stat && stat->parent == ::getpid() && os::pidfdSendSignal(pidfd.get(), signal) == 0;
}

std::string statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field)) return line.substr(std::min(line.find_first_not_of(" \t", field.size()), line.size()));
  }
  return {};
}

bool keepsRunning(pid_t pid) {
  const auto sleeps = [pid] { return std::stol("0" + statusField(pid, "voluntary_ctxt_switches:")); };
  const long before = sleeps();
  return before > 0 && waitFor([&] { return sleeps() > before + 10; }) && processExists(pid);
}

bool signalInMask(pid_t pid, const std::string& field, int signal) {
  return (std::stoull("0" + statusField(pid, field), nullptr, 16) >> (signal - 1)) & 1;
}

std::vector<JournalEntry> parseJournalExport(std::string_view text) {
  // KEY=value lines, or KEY, a newline, a 64-bit little-endian length, the
  // bytes and a newline; an empty line ends an entry.
  std::vector<JournalEntry> entries;
  JournalEntry entry;
  bool hasFields = false;
  while (!text.empty()) {
    const auto newline = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(std::min(newline + 1, text.size()));
    if (line.empty()) {
      if (hasFields) entries.push_back(std::exchange(entry, JournalEntry{}));
      hasFields = false;
      continue;
    }
    hasFields = true;
    if (const auto equals = line.find('='); equals != std::string_view::npos) {
      setJournalField(entry, line.substr(0, equals), line.substr(equals + 1));
      continue;
    }
    if (text.size() < 8) break;
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
    text.remove_prefix(8);
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(size, text.size()));
    setJournalField(entry, line, text.substr(0, length));
    text.remove_prefix(std::min(length + 1, text.size()));
  }
  if (hasFields) entries.push_back(std::move(entry));
  return entries;
}

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
  constexpr std::string_view kLaunched = " launched with PID ";
  const auto at = indexOf(kLaunched);
  if (at == view.events().size()) return -1;
  const auto message = view.events()[at].message;
  return std::stoi(std::string(message.substr(message.find(kLaunched) + kLaunched.size())));
}

std::optional<MarrowfieldEvent> Window::find(std::string_view text) const {
  const auto at = indexOf(text);
  return at < view.events().size() ? std::optional(view.events().at(at)) : std::nullopt;
}

std::size_t Window::indexOf(std::string_view text) const {
  const auto& events = view.events();
  std::size_t i = 0;
  while (i < events.size() && events[i].message.find(text) == std::string_view::npos) ++i;
  return i;
}

std::size_t Window::count(std::string_view text) const {
  std::size_t n = 0;
  for (std::size_t i = 0; i < view.events().size(); ++i) n += view.events()[i].message.find(text) != std::string_view::npos;
  return n;
}

std::string Window::dump(std::size_t maxEvents) const {
  std::string text;
  const auto& events = view.events();
  for (std::size_t i = 0; i < events.size() && i < maxEvents; ++i) {
    text += std::string(label(events[i].type)) + " " + std::string(events[i].source) + " " +
            std::string(events[i].message.substr(0, 200)) + "\n";
  }
  if (events.size() > maxEvents) text += "... " + std::to_string(events.size() - maxEvents) + " more\n";
  return text + "status: " + view.statusText();
}

}  // namespace mf::testing
