// SPDX-License-Identifier: GPL-3.0-or-later
// A single-instance GApplication (mousepad) launched while it already runs
// on the same session bus passes the launch to that instance and exits: the
// trace says so, names the instance, and shows none of that instance's lines.
// A copy that exits 0 at once without handing anything over (`--version`),
// beside the instance on its bus or on a bus of its own, is no hand-off.
// (gnome-calculator, the other GApplication installed here, runs every
// launch as a new process and never hands off.)

#include <gtest/gtest.h>

#include "apps_support.h"
#include "journal_fixture.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

constexpr const char* kMousepad = "/usr/share/applications/org.xfce.mousepad.desktop";

// Whether `name` has an owner on the bus at `address` (dbus-send's answer).
bool busNameHasOwner(const std::string& address, const std::string& name) {
  return testing::runProgram({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                              "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                             {"DBUS_SESSION_BUS_ADDRESS=" + address})
             .output.find("boolean true") != std::string::npos;
}

TEST(HandOffTest, ASecondLaunchOfASingleInstanceAppIsReportedAsAHandOff) {
  apps::XServer xserver;
  ASSERT_TRUE(xserver.ok()) << "Xvfb did not start";
  apps::SessionBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
  testing::TempDir dir;
  const auto environment = apps::desktopEnvironment(xserver.display(), bus.address(), dir.path().string());

  // The running instance, started as another launcher would, and chatty:
  // every GLib debug message, and GTK's warning about the locale.
  auto firstEnvironment = environment;
  firstEnvironment.emplace_back("G_MESSAGES_DEBUG", "all");
  firstEnvironment.emplace_back("LC_ALL", "xx_XX.UTF-8");
  const double firstStart = apps::wallClockNow();
  auto first = apps::startOutsideTrace({"mousepad"}, firstEnvironment, "org.xfce.mousepad");
  ASSERT_GT(first.pid(), 0);
  ASSERT_TRUE(testing::waitFor([&] { return busNameHasOwner(bus.address(), "org.xfce.mousepad"); }, 30))
      << "mousepad did not take its name on the bus";
  const auto wroteToTheJournal = [&] {
    const auto entries = apps::journalEntries(firstStart, apps::wallClockNow() + 1);
    return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) { return entry.pid == first.pid(); });
  };
  ASSERT_TRUE(testing::waitFor(wroteToTheJournal, 30)) << "the running instance logged nothing";

  testing::Window window;
  window.choose(kMousepad);
  window.view.setFreshLaunch(false);
  window.view.setLaunchParameters({}, environment);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); }, 30)) << window.dump();
  window.runUntil([&] { return window.platform.logStreams.lingeringStreams() == 0; }, 15);

  const auto handOff = window.find("org.xfce.mousepad handed the launch to its running instance, PID ");
  ASSERT_TRUE(handOff) << window.dump();
  EXPECT_TRUE(handOff->message.ends_with("PID " + std::to_string(first.pid())) && handOff->type == EventType::warning);
  EXPECT_EQ(window.count("[" + std::to_string(first.pid()) + "]"), 0u) << window.dump();
  EXPECT_TRUE(testing::processExists(first.pid()));

  apps::SessionBus otherBus;
  ASSERT_TRUE(otherBus.ok()) << "dbus-daemon did not start";
  for (const auto& address : {bus.address(), otherBus.address()}) {
    testing::Window version;
    version.choose(kMousepad);
    version.view.setFreshLaunch(false);
    version.view.setLaunchParameters({"--version"}, apps::desktopEnvironment(xserver.display(), address, dir.path().string()));
    version.view.startTrace();
    ASSERT_TRUE(version.runUntil([&] { return version.ended(); }, 30)) << version.dump();
    EXPECT_TRUE(version.find("org.xfce.mousepad terminated") && !version.find("handed the launch")) << version.dump();
  }
  EXPECT_TRUE(testing::processExists(first.pid()));
}

}  // namespace
}  // namespace mf
