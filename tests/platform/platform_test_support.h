// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers for the platform tests, which use real processes and a real journal.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "text/line_batch.h"
#include "trace/services.h"

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
  std::size_t batches() const;
  bool contains(std::string_view needle) const;
  std::string joined() const;

 private:
  struct Store {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::size_t batches = 0;
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
// demo binary. Its name keeps concurrent tests from reading each other's
// journal lines (the journal identifier and process name carry it), and its
// own inode keeps a fresh launch in one test from quitting the demos that
// other tests run at the same time (instances are matched by executable).
std::filesystem::path privateDemo(const TempDir& dir, const std::string& prefix = "mfdemo");

// A desktop entry named `<name>.desktop` whose Exec runs `program` with `args`.
std::filesystem::path writeDemoDesktopEntry(const TempDir& dir, const std::string& name,
                                            const std::filesystem::path& program, const std::string& args);

std::filesystem::path demoExecutable();
std::string randomSuffix();

std::size_t openDescriptorCount();
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
// Whether `pid` has a handler for `signal` installed (SigCgt).
bool catchesSignal(pid_t pid, int signal);
bool ignoresSignal(pid_t pid, int signal);

// Stand-ins for the window's chooser and clipboard in headless traces.
class ChosenPath final : public OpenPanel {
 public:
  std::optional<std::string> path;
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return path; }
};

class Clipboard final : public Pasteboard {
 public:
  std::string text;
  void setString(const std::string& value) override { text = value; }
};

}  // namespace mf::testing
