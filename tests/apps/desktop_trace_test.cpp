// SPDX-License-Identifier: GPL-3.0-or-later
// Real GTK and Qt programs, traced from their installed desktop entries
// under an X server and a session bus of the test's own. What they log at
// start-up varies with the machine (a network makes gnome-calculator's
// currency warnings go away), so the tests give them a broken setting that
// makes the toolkit itself warn, and assert on what every warning has: the
// sender's name and pid, a WARN or ERROR type, an unclean session.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "apps_support.h"
#include "history/session_counts.h"
#include "journal_fixture.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

class DesktopTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(xserver.ok()) << "Xvfb did not start"; }
  void TearDown() override {
    if (window.view.isTracing()) window.view.stopTrace(true);
    if (pid > 0) ::kill(pid, SIGKILL);
  }

  // Traces `entry` until `arrived` holds, then stops (the program runs on
  // and is ended by the test); sets the launched pid.
  void trace(const char* entry, const apps::Environment& environment, const std::function<bool()>& arrived) {
    window.choose(entry);
    window.view.setFreshLaunch(false);  // other tests' instances are not ours to quit
    window.view.setLaunchParameters({}, environment);
    const double start = apps::wallClockNow();
    window.view.startTrace();
    window.runUntil([&] { return (pid = window.targetPid()) > 0 && arrived(); }, 40);
    ASSERT_GT(pid, 0) << window.dump();
    ASSERT_TRUE(arrived()) << window.dump();
    EXPECT_EQ(window.view.statusText(), "Tracing PID " + std::to_string(pid));
    const double stop = apps::wallClockNow();
    window.view.stopTrace(true);
    window.runUntil([&] { return window.platform.logStreams.lingeringStreams() == 0; }, 15);
    // Nothing the target wrote into the journal (a second before the stop,
    // so that it had time to arrive) is missing from the trace.
    for (const auto& entry : apps::journalEntries(start, stop - 1)) {
      if (entry.pid != pid) continue;
      const std::string text = entry.message.substr(0, entry.message.find('\n'));
      const auto events = window.view.events().toVector();
      EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const MarrowfieldEvent& event) {
        return event.message.find("[" + std::to_string(pid) + "]: ") != std::string::npos &&
               event.message.find(text) != std::string::npos;
      })) << "not in the trace: " << entry.message;
    }
    ASSERT_EQ(window.view.sessions().size(), 1u);
    EXPECT_FALSE(countSession(window.view.sessions()[0].events).isClean()) << window.dump();
  }

  // A WARN or ERROR event that `sender` sent with a GLib domain:
  // "name[pid]: Domain: message", a domain being one word before ": ".
  bool glibWarning(const std::string& sender) const {
    const std::string who = sender + "[" + std::to_string(pid) + "]: ";
    for (const auto& event : window.view.events().toVector()) {
      if ((event.type != EventType::warning && event.type != EventType::error) || !event.message.starts_with(who)) continue;
      const auto rest = event.message.substr(who.size());
      const auto colon = rest.find(": ");
      if (colon != std::string::npos && colon > 0 && rest.substr(0, colon).find(' ') == std::string::npos) return true;
    }
    return false;
  }

  testing::TempDir dir;
  std::string marker = "mfapps" + testing::randomSuffix();
  apps::XServer xserver;
  testing::Window window;
  pid_t pid = 0;
};

// The desktop-file ID is not the executable, and GLib's entries carry the
// executable's name, only cut to 15 bytes (_COMM): the process tree is what
// finds them, and the whole name is what a search for it matches. Another
// instance of the same program, chatty (every GLib debug message) and with
// a setting that names our marker in a warning, stays out.
TEST_F(DesktopTraceTest, AGtkAppsWarningsAreItsOwnAndAnotherInstancesStayOut) {
  auto otherEnvironment = apps::desktopEnvironment(xserver.address(), apps::kNoSessionBus, (dir.path() / "other").string());
  otherEnvironment.emplace_back("G_MESSAGES_DEBUG", "all");
  otherEnvironment.emplace_back("GSK_RENDERER", marker);
  const double otherStart = apps::wallClockNow();
  auto other = apps::startOutsideTrace({"gnome-calculator"}, otherEnvironment, "org.gnome.Calculator");
  ASSERT_GT(other.pid(), 0);
  ASSERT_TRUE(testing::waitFor(
      [&] {
        for (const auto& entry : apps::journalEntries(otherStart, apps::wallClockNow() + 1)) {
          if (entry.pid == other.pid() && entry.message.find(marker) != std::string::npos) return true;
        }
        return false;
      },
      30))
      << "the other instance did not log its warning";

  // No session bus: GTK warns that it cannot acquire one, on any machine.
  const auto environment = apps::desktopEnvironment(xserver.address(), apps::kNoSessionBus, dir.path().string());
  ASSERT_NO_FATAL_FAILURE(trace("/usr/share/applications/org.gnome.Calculator.desktop", environment,
                                [&] { return glibWarning("gnome-calculator"); }));
  EXPECT_TRUE(testing::processExists(other.pid()));
  EXPECT_EQ(window.count(marker), 0u) << window.dump();
  EXPECT_EQ(window.count("[" + std::to_string(other.pid()) + "]"), 0u) << window.dump();
  window.view.copySummary();
  EXPECT_NE(window.pasteboard.text.find(" gnome-calculator[" + std::to_string(pid) + "]: "), std::string::npos)
      << window.pasteboard.text;
}

// Qt (as Debian builds it) has no journal support: its messages are plain
// stderr lines, and their text ("QApplication: invalid style override ...")
// carries no level of its own; a warning must still count as one.
TEST_F(DesktopTraceTest, AQtAppsWarningArrivesUnderItsPidAsAWarning) {
  apps::SessionBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
  auto environment = apps::desktopEnvironment(xserver.address(), bus.address(), dir.path().string());
  environment.emplace_back("QT_STYLE_OVERRIDE", marker);
  ASSERT_NO_FATAL_FAILURE(trace("/usr/share/applications/qt6ct.desktop", environment,
                                [&] { return window.count(marker) > 0; }));
  const auto warning = window.find(marker);
  EXPECT_NE(warning->message.find("qt6ct[" + std::to_string(pid) + "]: QApplication: invalid style override"),
            std::string::npos)
      << warning->message;
  EXPECT_TRUE(warning->type == EventType::warning || warning->type == EventType::error) << label(warning->type);
  EXPECT_EQ(window.count(marker), 1u) << window.dump();
}

}  // namespace
}  // namespace mf
