// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The doors between the core and the world. The core calls nothing else:
// the Linux implementations live in src/platform, the Qt ones in src/ui, and
// the core's tests use fakes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/stamps.h"
#include "model/uuid.h"
#include "text/line_batch.h"

namespace mf {

// The one door to the main thread.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Thread-safe. Tasks run on the main thread, in posting order.
  virtual void post(std::function<void()> task) = 0;
  // Main thread only. Runs posted tasks for `seconds` and then returns. It must
  // not deliver user input meanwhile: a click there would re-enter the
  // operation that is waiting.
  virtual void wait(double seconds) = 0;
};

// What the workspace learnt of the launched tree for the log stream (on
// Linux, the kernel's record of its forks); the core only carries it from
// the launch to the stream and never looks inside.
class LaunchWitness {
 public:
  virtual ~LaunchWitness() = default;
};

// The launched target as the log stream needs it: the root of the process
// tree whose entries it captures, and the transient scope it runs in (empty
// when none could be made).
struct LaunchedProcess {
  std::int32_t pid = 0;
  std::string unit;
  std::shared_ptr<LaunchWitness> witness{};  // none where the platform keeps none
};

// The running log-stream child process.
class LogProcess {
 public:
  virtual ~LogProcess() = default;
  virtual bool isRunning() const = 0;
  // Asks the child to end; does not wait for it.
  virtual void terminate() = 0;
  // The target was launched: from now on the stream captures what it and
  // its descendants log, including what they logged before this call.
  virtual void follow(const LaunchedProcess& /*process*/) {}
  // Whether journal lines of helpers that live only a moment may be missed
  // for `process`: the stream cannot see forks as they happen. (A scope
  // does not help: journald cannot name the unit of a sender that is gone.)
  virtual bool mayMissShortLivedHelpers(const LaunchedProcess& /*process*/) const { return false; }
  // Calls `callback` once, from any thread, when the stream has most likely
  // delivered what was written so far: its output has been quiet for a
  // moment, or it ended. Batches read before that are handed to the sink
  // first. A stream that cannot tell calls back at once.
  // By value: the streams that wait keep it.
  virtual void notifyWhenQuiet(std::function<void()> callback) { callback(); }  // NOLINT(performance-unnecessary-value-param)
  // Calls `callback` once, from any thread, if the child ends without having
  // been asked to (it died, or gave up), with a readable reason such as
  // "reading the journal failed: …". The batches it wrote reach the sink
  // first. Never called for a child that terminate() or destruction ended.
  virtual void notifyOnUnexpectedEnd(std::function<void(std::string reason)> /*callback*/) {}  // NOLINT(performance-unnecessary-value-param)
};

struct ArmResult {
  std::unique_ptr<LogProcess> process;  // set when the stream started
  std::string errorDescription;         // readable reason when it did not
};

class LogStreamLauncher {
 public:
  virtual ~LogStreamLauncher() = default;
  // Main thread. Starts the stream filtered to `processName`; its output
  // reaches `sink` batch by batch from a background thread.
  virtual ArmResult start(const std::string& processName, LineBatchSink sink) = 0;
};

class RunningApplication {
 public:
  virtual ~RunningApplication() = default;
  virtual std::int32_t processIdentifier() const = 0;
  // The polite quit request; true when it was delivered. Does not wait.
  virtual bool terminate() = 0;
};

struct LaunchOptions {
  // Where the target's output goes line by line, from a background thread:
  // its stdout always (read through a pseudo-terminal, so its stdio flushes
  // every line as on a terminal), and its stderr too when that is not a
  // journal stream. Called until the target's output ends, even after the
  // trace and the workspace are gone, so it must stay safe to call: the
  // trace's is a LineGate.
  LineBatchSink output;
  // Whether the target's stderr is a journal stream under its name (what
  // desktop launchers do; the log stream reads it back from the journal).
  // Off, or when the journal cannot be reached, stderr is read directly.
  bool stderrToJournal = true;
  // Called once on the calling thread, before openApplication returns, with
  // the launched process, so the log stream can follow its tree.
  std::function<void(const LaunchedProcess&)> spawned;
  // Given to the target after the arguments of its command, and added to (or
  // replacing) the environment it inherits.
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;
  // Whether a Qt target (and every Qt program it starts, which inherits its
  // environment) is told to put the syslog level in front of each message
  // on stderr, so its warnings reach the journal and the trace as warnings.
  // It changes what those programs write to stderr wherever it goes (a file
  // it is redirected to, a terminal a traced terminal emulator starts them
  // in); off, they write as they would outside a trace.
  bool qtLevelPrefix = true;
};

// Called once, on a background thread.
using LaunchCompletion = std::function<void(std::optional<std::string> errorDescription,
                                            std::shared_ptr<RunningApplication> application)>;

struct ExitStatus {
  bool signaled = false;  // ended by a signal
  int code = 0;           // exit code, or the signal number when signaled
};

struct TerminationNotification {
  // The terminated application; null when the notification carries none.
  std::shared_ptr<RunningApplication> application;
  // How it ended, when the platform knows.
  std::optional<ExitStatus> exitStatus;
  // Set when the process, a single-instance program, passed its launch to an
  // instance that was already running (this PID) and exited.
  std::optional<std::int32_t> handedOffTo;
};

// Delivered on the main thread.
using TerminationCallback = std::function<void(const TerminationNotification&)>;

// A registered termination observer; destroying it removes the registration.
class TerminationObserver {
 public:
  virtual ~TerminationObserver() = default;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Returns at once; `completion` runs once on a background thread.
  virtual void openApplication(const std::string& path, const LaunchOptions& options,
                               LaunchCompletion completion) = 0;
  virtual std::vector<std::shared_ptr<RunningApplication>> runningApplications(
      const std::string& bundleIdentifier) = 0;
  // Main thread. `callback` runs on the main thread when process `pid` ends;
  // an exit that happened before the registration is still reported.
  virtual std::unique_ptr<TerminationObserver> addTerminationObserver(std::int32_t pid,
                                                                      TerminationCallback callback) = 0;
  // Empty when the application cannot be read or declares none.
  virtual std::string bundleIdentifier(const std::string& path) = 0;
};

// A trace running on another machine (trace/remote_trace.h), seen from here:
// the connection its output comes back through. Destroying it ends the
// other side's input, as stop() does, and returns at once; no handler is
// called after that, and the connection ends in the background: the other
// side ends its trace and what it launched, and a connection that has not
// ended some seconds later is cut.
class RemoteConnection {
 public:
  virtual ~RemoteConnection() = default;
  // Asks the other side to end its trace: its input ends. Its last lines and
  // the end of the connection follow. Does not wait.
  virtual void stop() = 0;
  // Cuts the connection at once.
  virtual void cut() = 0;
};

struct RemoteHandlers {
  // The lines of the other side's standard output, in order, without their
  // line feeds; from a background thread, never two calls at once.
  std::function<void(std::vector<std::string> lines)> output;
  // One line the other side or the transport wrote on standard error.
  std::function<void(std::string line)> error;
  // Once, after the last lines, with the transport's exit status.
  std::function<void(int status)> ended;
};

class RemoteLauncher {
 public:
  virtual ~RemoteLauncher() = default;
  // Runs `command` in the shell of `host` ([USER@]HOST as the transport
  // takes it). Null, with `error` saying why, when the transport could not
  // even be started.
  virtual std::unique_ptr<RemoteConnection> connect(const std::string& host, const std::string& command,
                                                    RemoteHandlers handlers, std::string& error) = 0;
};

struct OpenPanelConfiguration {
  std::string title;
  std::string prompt;
  bool canChooseDirectories = false;
  bool applicationsOnly = true;
};

class OpenPanel {
 public:
  virtual ~OpenPanel() = default;
  // Modal. The chosen path, or nothing when cancelled.
  virtual std::optional<std::string> run(const OpenPanelConfiguration& configuration) = 0;
};

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Replaces the whole contents with one plain-text item.
  virtual void setString(const std::string& text) = 0;
};

}  // namespace mf
