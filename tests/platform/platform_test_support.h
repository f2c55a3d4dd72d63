// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers for the tests that use real processes and a real journal: the
// platform's own, the CLI's, and the reliability and apps tests, which drive
// whole traces through a `Window` on the real platform services.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/event_loop_main_queue.h"
#include "platform/journal_entry.h"
#include "platform/linux_services.h"

namespace mf::testing {

// Polls `condition` until it holds or `seconds` pass; no fixed sleeps.
bool waitFor(const std::function<bool()>& condition, double seconds = 10.0);

// Collects the lines a sink receives, from any thread. The sink shares the
// storage, so a reader thread that delivers after the collector went out of
// scope (a test that ends while a child still writes) touches live memory.
class LineCollector {
 public:
  LineBatchSink sink();
  std::vector<std::string> lines() const;
  std::vector<double> times() const;  // each line's, in the same order
  bool contains(std::string_view needle) const;
  std::string joined() const;

 private:
  struct Store {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<double> times;
  };
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

// A fresh directory under the system temp directory, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path write(const std::string& name, std::string_view content, bool executable = false) const;

 private:
  std::filesystem::path path_;
};

// The demo target as a program of its own: a copy "<prefix>-<random>" of the
// demo binary (or of `program`). Its name keeps concurrent tests from reading each other's
// journal lines (the journal identifier and process name carry it), and its
// own inode keeps a fresh launch in one test from quitting the demos that
// other tests run at the same time (instances are matched by executable).
std::filesystem::path privateDemo(const TempDir& dir, const std::string& prefix = "mfdemo",
                                  const std::filesystem::path& program = MARROWFIELD_DEMO_PATH);

// A desktop entry named `<name>.desktop` whose Exec runs `program` with `args`.
std::filesystem::path writeDemoDesktopEntry(const TempDir& dir, const std::string& name,
                                            const std::filesystem::path& program, const std::string& args);

// A private demo and a desktop entry of the same name that runs it with
// `--bundle-id <name> <args>`.
struct Demo {
  std::string name;
  std::string entry;
};
Demo demoEntry(const TempDir& dir, const std::string& args);

inline std::filesystem::path demoExecutable() { return MARROWFIELD_DEMO_PATH; }
std::string randomSuffix();

// Runs `argv` (looked up in PATH) to its end: its exit status (128 + the
// signal when killed) and all it printed on stdout and stderr, through a
// pipe or, `onTerminal`, a raw pseudo-terminal without a window size (line
// ends as written), as a person runs it. `whileRunning` is called with its
// pid and the output so far until it returns true, for tests that act on a
// live program.
struct Ran {
  int status = -1;
  std::string output;
};
Ran runProgram(const std::vector<std::string>& argv, std::vector<std::string> environmentOverrides = {},
               const std::function<bool(pid_t, const std::string&)>& whileRunning = {}, bool onTerminal = false);

// What this process holds, from /proc/self.
std::size_t openDescriptorCount();
std::size_t threadCount();
// Processes whose parent is `parent` (this process when 0), in any state,
// with their names.
struct ChildProcess {
  pid_t pid;
  char state;
  std::string name;
};
std::vector<ChildProcess> childProcesses(pid_t parent = 0);
// Children of this process that are zombies (exited, not reaped).
std::vector<pid_t> zombieChildren();
bool processExists(pid_t pid);
// Sends `signal` to `pid` only while it is a live child of this process: the
// pid of a child already reaped may belong to anyone by now.
bool signalOwnChild(pid_t pid, int signal);
// The value of `field` ("Uid:") in /proc/<pid>/status, without the blanks
// before it; empty when there is none.
std::string statusField(pid_t pid, const std::string& field);
// Whether `pid`, a program that sleeps between its writes, goes to sleep ten
// more times within the deadline: it still runs, neither blocked nor ended.
bool keepsRunning(pid_t pid);
// Whether `signal` is in the mask `field` ("SigCgt:" caught, "SigIgn:"
// ignored) of /proc/<pid>/status.
bool signalInMask(pid_t pid, const std::string& field, int signal);

// Stands in for the window's chooser and clipboard in headless traces.
struct HeadlessDesk final : OpenPanel, Pasteboard {
  std::optional<std::string> path;  // what the chooser answers
  std::string text;                 // what was copied
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return path; }
  void setString(const std::string& value) override { text = value; }
};

// The entries of journalctl's export format (`--output=export`), whole: the
// form the golden captures are kept in and that journalctl gives the tests.
std::vector<JournalEntry> parseJournalExport(std::string_view text);

// Log-stream options whose journal socket nobody listens on: the trace
// captures the target's output directly.
JournalLogStreamLauncher::Options withoutJournal();

// One window's worth of trace machinery: ContentView on the real platform
// services it gets in the app, with a headless main queue. It is observed as
// the window sees it: the status line and the events.
struct Window {
  explicit Window(JournalLogStreamLauncher::Options streamOptions = {});

  // Chooses `path` through the open panel.
  void choose(const std::string& path);
  // Runs the main queue until `condition` holds; false at the deadline.
  bool runUntil(const std::function<bool()>& condition, double seconds = 20);
  bool ended() const { return view.statusText() == "Process ended"; }
  // The PID the trace's "launched with PID" event names; -1 before it.
  pid_t targetPid() const;
  std::optional<MarrowfieldEvent> find(std::string_view text) const;
  std::size_t indexOf(std::string_view text) const;
  std::size_t count(std::string_view text) const;
  std::string dump(std::size_t maxEvents = 200) const;

  EventLoopMainQueue queue;
  LinuxServices platform;
  HeadlessDesk panel;
  HeadlessDesk& pasteboard = panel;
  ContentView view;
};

}  // namespace mf::testing
