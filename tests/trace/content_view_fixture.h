// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fakes.h"
#include "trace/content_view.h"

namespace mf::testing {

inline constexpr const char* kAppPath = "/opt/apps/X.desktop";
inline constexpr const char* kBundleId = "org.example.X";
inline constexpr const char* kArming = "Arming trace for X\xE2\x80\xA6";
using Strings = std::vector<std::string>;

// A ContentView on fakes, seen as the views see it: through its change
// notification and what it asked of the fakes. Events read as short strings
// ("INFO SESSION Launch trace started for X") so whole sequences compare at once.
class ContentViewTest : public ::testing::Test {
 protected:
  ContentViewTest() : view(std::make_unique<ContentView>(fakes.services())) {
    view->setChangeObserver([this](const Change& change) { changes.push_back(change); });
  }

  void choose(const std::string& path = kAppPath, const std::string& bundleId = kBundleId) {
    if (!bundleId.empty()) fakes.workspace.bundleIds[path] = bundleId;
    fakes.openPanel.answers.push_back(path);
    view->chooseApplication();
  }
  static Strings describe(const EventList& events) {
    Strings out;
    for (std::size_t i = 0; i < events.size(); ++i) {
      out.push_back(std::string(label(events[i].type)) + " " + std::string(events[i].source) + " " +
                    std::string(events[i].message));
    }
    return out;
  }
  Strings events() const { return describe(view->events()); }
  std::string status() const { return view->statusText(); }
  // Lines through the latest log stream's sink, as the reader thread delivers them.
  void pushLog(std::initializer_list<std::string_view> lines) {
    fakes.logStreams.lastSink()(LineBatch::of(lines));
    fakes.mainQueue.runAll();
  }
  // Chooses X if nothing is chosen, starts, completes the launch with `pid`.
  void startTracing(std::int32_t pid = 4242) {
    if (!view->selectedAppURL()) choose();
    view->startTrace();
    fakes.workspace.completeWithPid(pid);
    fakes.mainQueue.runAll();
  }

  FakeServices fakes;
  std::unique_ptr<ContentView> view;
  std::vector<Change> changes;
};

}  // namespace mf::testing
