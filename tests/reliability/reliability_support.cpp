// SPDX-License-Identifier: GPL-3.0-or-later
#include "reliability_support.h"

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "platform/posix_io.h"

namespace mf::reliability {

void TimedMainQueue::post(std::function<void()> task) {
  inner.post([this, task = std::move(task)] {
    const auto start = std::chrono::steady_clock::now();
    task();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (took > longestTaskSeconds) longestTaskSeconds = took;
    ++tasksRun;
  });
}

Window::Window(JournalLogStreamLauncher::Options streamOptions)
    : platform(queue, std::move(streamOptions)), view(platform.services(panel, pasteboard)) {}

Window::~Window() = default;

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
    queue.inner.runUntil(condition, 0.05);
  }
  return true;
}

std::optional<MarrowfieldEvent> Window::find(std::string_view text) const {
  const auto& events = view.events();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].message.find(text) != std::string_view::npos) return events.at(i);
  }
  return std::nullopt;
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

JournalLogStreamLauncher::Options withoutJournal() {
  JournalLogStreamLauncher::Options options;
  options.journalSocket = "/nonexistent/marrowfield/journal.socket";
  return options;
}

std::size_t threadCount() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0;
  std::size_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::vector<pid_t> journalctlChildren(std::string_view needle) {
  std::vector<pid_t> found;
  for (const auto& child : childProcesses()) {
    if (child.name != "journalctl" || child.state == 'Z') continue;
    for (const auto& arg : posix::commandLineOf(child.pid)) {
      if (arg.find(needle) != std::string::npos) {
        found.push_back(child.pid);
        break;
      }
    }
  }
  return found;
}

}  // namespace mf::reliability
