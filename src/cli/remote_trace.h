// SPDX-License-Identifier: GPL-3.0-or-later
// `marrowfield-cli trace --host [USER@]HOST`: the trace runs on HOST, where
// `marrowfield-cli trace --json` writes it, and comes back through the user's
// own ssh to be printed here as a trace of this machine is.
#pragma once

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trace/content_view.h"
#include "trace/services.h"
#include "trace_options.h"
#include "verdict/novelty.h"

namespace mf::cli {

// The whole command-line trace on `options.host`: the exit status.
int runRemoteTrace(const TraceOptions& options, const std::optional<Baseline>& baseline);

// The other machine's half (--until-stdin-closes). Nothing of the trace may
// outlive the connection there: whoever started it can no longer see or end
// it. So the trace stops when stdin (the connection) reaches its end, on
// SIGHUP or SIGTERM, and SIGPIPE does not end the program before it has
// cleaned up; and the process group it launched (the target, which leads one,
// and the helpers still in it) is ended with it.
class ConnectionBoundTrace {
 public:
  explicit ConnectionBoundTrace(Workspace& workspace);
  ~ConnectionBoundTrace();
  ConnectionBoundTrace(const ConnectionBoundTrace&) = delete;
  ConnectionBoundTrace& operator=(const ConnectionBoundTrace&) = delete;

  // `services` with a workspace that launches through the platform's and
  // notes what it launched.
  ContentView::Services services(const ContentView::Services& services) {
    return {services.mainQueue, services.clock,  services.ids,       services.logStreams,
            recorder_,          services.remote, services.openPanel, services.pasteboard};
  }
  // Whether the connection is gone or a signal asked for the end.
  bool ended();
  // SIGTERM to the launched group, SIGKILL to what is left of it after a
  // grace; said on stderr when something was there.
  void endLaunchedTree();

 private:
  class Recorder final : public Workspace {
   public:
    explicit Recorder(Workspace& inner) : inner_(inner) {}
    void openApplication(const std::string& path, const LaunchOptions& options, LaunchCompletion completion) override;
    std::vector<std::shared_ptr<RunningApplication>> runningApplications(const std::string& bundleIdentifier) override {
      return inner_.runningApplications(bundleIdentifier);
    }
    std::unique_ptr<TerminationObserver> addTerminationObserver(std::int32_t pid, TerminationCallback callback) override {
      return inner_.addTerminationObserver(pid, std::move(callback));
    }
    std::string bundleIdentifier(const std::string& path) override { return inner_.bundleIdentifier(path); }
    std::vector<std::int32_t> launched;

   private:
    Workspace& inner_;
  };
  Recorder recorder_;
  bool stdinEnded_ = false;
  std::array<struct sigaction, 3> previous_{};
};

}  // namespace mf::cli
