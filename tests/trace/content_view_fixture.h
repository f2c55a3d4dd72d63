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
using Strings = std::vector<std::string>;

// A ContentView on fakes, seen as the views see it: through its change
// notification (every status line it showed is kept) and what it asked of
// the fakes. Events read as short strings ("INFO SESSION Launch trace
// started for X") so whole sequences compare at once.
class ContentViewTest : public ::testing::Test {
 protected:
  ContentViewTest() {
    view = std::make_unique<ContentView>(fakes.services());
    view->setChangeObserver([this](const Change& change) {
      changes.push_back(change);
      statuses.push_back(view->statusText());
    });
  }

  void choose(const std::string& path = kAppPath, const std::string& bundleId = kBundleId) {
    if (!bundleId.empty()) fakes.workspace.bundleIds[path] = bundleId;
    fakes.openPanel.answers.push_back(path);
    view->chooseApplication();
  }

  static std::string describe(const EventView& event) {
    return std::string(label(event.type)) + " " + std::string(event.source) + " " + std::string(event.message);
  }
  static Strings describe(const EventList& events) {
    Strings out;
    for (std::size_t i = 0; i < events.size(); ++i) out.push_back(describe(events[i]));
    return out;
  }
  Strings events() const { return describe(view->events()); }
  std::string status() const { return view->statusText(); }

  // Delivers lines through the latest log stream's sink, as the reader thread would.
  void pushLog(std::initializer_list<std::string_view> lines) {
    fakes.logStreams.lastSink()(LineBatch::of(lines));
    fakes.mainQueue.runAll();
  }

  // Chooses X, starts, completes the launch with `pid`.
  void startTracing(std::int32_t pid = 4242) {
    if (!view->selectedAppURL()) choose();
    view->startTrace();
    fakes.workspace.completeWithPid(pid);
    fakes.mainQueue.runAll();
  }

  FakeServices fakes;
  std::unique_ptr<ContentView> view;
  std::vector<Change> changes;
  Strings statuses;
};

}  // namespace mf::testing
