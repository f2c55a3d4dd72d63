#pragma once

// Stand-ins for the services a ContentView needs that a benchmark does not
// exercise: no dialog, no launch, no clipboard. The log stream and the main
// queue are what the benchmarks measure, so they are chosen per benchmark.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "trace/services.h"

namespace mf::bench {

class IdleWorkspace : public Workspace {
 public:
  void openApplication(const std::string&, const LaunchOptions&, LaunchCompletion) override {}
  std::vector<std::shared_ptr<RunningApplication>> runningApplications(const std::string&) override { return {}; }
  std::unique_ptr<TerminationObserver> addTerminationObserver(std::int32_t, TerminationCallback) override {
    return nullptr;
  }
  std::string bundleIdentifier(const std::string&) override { return "org.example.bench"; }
};

class FixedPanel : public OpenPanel {
 public:
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return "/opt/bench/Bench.desktop"; }
};

class NullPasteboard : public Pasteboard {
 public:
  void setString(const std::string&) override {}
};

}  // namespace mf::bench
