#pragma once

// Helpers for the platform tests, which use real processes and a real journal.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "trace/line_batch.h"
#include "trace/services.h"

namespace mf::testing {

// Polls `condition` until it holds or `seconds` pass; no fixed sleeps.
bool waitFor(const std::function<bool()>& condition, double seconds = 10.0);

// Collects the lines a sink receives, from any thread.
class LineCollector {
 public:
  LineBatchSink sink();
  std::vector<std::string> lines() const;
  std::size_t batches() const;
  bool contains(std::string_view needle) const;
  std::string joined() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::size_t batches_ = 0;
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

// The demo target, under a name of its own so concurrent tests never read
// each other's journal lines: a symlink "<prefix>-<random>" to the demo binary
// (its journal identifier and process name then carry that name).
std::filesystem::path uniqueDemoLink(const TempDir& dir, const std::string& prefix = "mfdemo");

// A desktop entry named `<name>.desktop` whose Exec runs `program` with `args`.
std::filesystem::path writeDemoDesktopEntry(const TempDir& dir, const std::string& name,
                                            const std::filesystem::path& program, const std::string& args);

std::filesystem::path demoExecutable();
std::string randomSuffix();

std::size_t openDescriptorCount();
// Processes whose parent is this process (any state), with their names.
struct ChildProcess {
  pid_t pid;
  char state;
  std::string name;
};
std::vector<ChildProcess> childProcesses();
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
