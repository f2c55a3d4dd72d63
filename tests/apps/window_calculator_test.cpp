// SPDX-License-Identifier: GPL-3.0-or-later
// gnome-calculator traced through the real window, as a user does it: its
// GLib warnings are rows of the actionable list, and the card of the session
// does not call a run with warnings clean.

#include <gtest/gtest.h>

#include <csignal>

#include "apps_support.h"
#include "journal_fixture.h"
#include "platform/linux_services.h"
#include "platform_test_support.h"
#include "ui_harness.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

TEST(WindowCalculator, ItsWarningsAreListedAndItsSessionIsNotClean) {
  apps::XServer xserver;
  ASSERT_TRUE(xserver.ok()) << "Xvfb did not start";
  testing::TempDir dir;
  uitest::application();
  ui::QtMainQueue queue;
  LinuxServices platform(queue);
  testing::ChosenPath panel;
  ui::QtPasteboard clipboard;
  ContentView content(platform.services(panel, clipboard));
  ui::MainWindow window(content);
  window.resize(1440, 900);
  window.show();

  panel.path = "/usr/share/applications/org.gnome.Calculator.desktop";
  uitest::Harness::click(window.eventPane()->chooseButton());
  // No session bus: GTK warns that it cannot acquire one, on any machine.
  // As the user gives it, in the window's launch options for this target.
  window.launchOptions().setForTarget(
      *content.selectedAppURL(), {{}, apps::desktopEnvironment(xserver.display(), apps::kNoSessionBus, dir.path().string())});
  content.setFreshLaunch(false);
  uitest::Harness::click(window.eventPane()->launchButton());

  // A warning of the calculator, sent with its GLib domain, is a row of the
  // list the window shows by default.
  auto warningRow = [&] {
    for (const auto row : content.visibleRows()) {
      const auto event = content.events()[row];
      if (event.type == EventType::warning && event.message.find("gnome-calculator[") != std::string_view::npos) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(uitest::waitUntil(warningRow, 40000)) << content.summaryText();
  const auto pid = content.runningApplication() ? content.runningApplication()->processIdentifier() : 0;
  uitest::Harness::click(window.eventPane()->stopButton());
  ASSERT_TRUE(uitest::waitUntil([&] { return !window.sidebar()->cards().empty(); }));
  for (const auto* counter : window.sidebar()->cards().front()->counters()) {
    EXPECT_NE(counter->text(), "Clean");
  }
  // The copied summary carries it too.
  const std::string summary = content.summaryText();
  const auto warn = summary.find("] [WARN] [");
  ASSERT_NE(warn, std::string::npos) << summary;
  EXPECT_NE(summary.find("gnome-calculator[", warn), std::string::npos) << summary;
  if (pid > 0) ::kill(pid, SIGKILL);
}

}  // namespace
}  // namespace mf
