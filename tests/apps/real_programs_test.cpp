// SPDX-License-Identifier: GPL-3.0-or-later
// Real programs traced in a window: our logging probe, ls and grep from
// Debian on a terminal, and a single-instance GApplication handing a launch
// to its running instance.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "apps_support.h"
#include "journal_fixture.h"
#include "platform/instances.h"
#include "platform_test_support.h"
#include "verdict/verdict.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

// The probe logs through every road a Linux program has into the journal
// (GLib structured logging, sd-journal, syslog, a logger child, a grandchild
// that outlives it, stdout, stderr); each of its lines must be in the trace
// exactly once.

TEST(ProbeTrace, EveryLineOfEveryRoadArrivesExactlyOnce) {
  const bool syslogHasAWayIn = testing::ensureSyslogSocketLink();
  // A desktop entry whose name is not the program's: the probe's own
  // messages carry "logging-probe", the trace's name is the entry's.
  testing::TempDir dir;
  const std::string marker = "mfprobe-" + testing::randomSuffix();
  const std::string name = "org.marrowfield.Probe" + testing::randomSuffix();
  testing::Window window;
  window.choose(testing::writeDemoDesktopEntry(dir, name, MARROWFIELD_PROBE_PATH, "all " + marker).string());
  window.view.setFreshLaunch(false);
  window.view.startTrace();

  std::vector<std::string> lines = {"stdout",       "stderr",         "glib-warning",       "glib-message",
                                    "sd-journal",   "logger-child",   "grandchild-journal", "grandchild-stdout",
                                    "last-stdout",  "last-stderr",    "last-journal"};
  if (syslogHasAWayIn) lines.emplace_back("syslog");
  auto allArrived = [&] {
    for (const auto& line : lines) if (window.count(marker + " " + line) == 0) return false;
    return true;
  };
  // Until the trace ended and its log stream stopped reading: later lines
  // cannot come any more, so a count is final.
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && allArrived(); }, 30)) << window.dump();
  ASSERT_TRUE(window.runUntil([&] { return window.platform.logStreams.lingeringStreams() == 0; }, 15));
  for (const auto& line : lines) EXPECT_EQ(window.count(marker + " " + line), 1u) << line << "\n" << window.dump();

  // Whose line it is shows, as the journal has it (the rendering of each
  // field is the journal capture's golden test).
  const std::string launched = window.find(" launched with PID ")->message;
  const std::string pid = launched.substr(launched.find(" PID ") + 5);
  const auto warning = window.find(marker + " glib-warning");
  EXPECT_NE(warning->message.find("logging-probe[" + pid + "]: MfProbe: "), std::string::npos) << warning->message;
  EXPECT_EQ(warning->type, EventType::warning);  // PRIORITY 4, nothing in its text
  EXPECT_NE(window.find(marker + " stderr")->message.find(name + "[" + pid + "]: "), std::string::npos);
  EXPECT_EQ(window.find(" exited with status"), std::nullopt) << window.dump();
}

// Programs from Debian that change what they print when their stdout is a
// terminal: ls lays its names out in columns as wide as the terminal (not
// one name a line, as into a pipe) and colours them, grep colours its
// matches. In a trace they are on a terminal (so their stdio flushes every
// line), and what they print must read as the text a person would see on
// one, without the escape sequences around it.
TEST(TerminalPrograms, PrintAsOnATerminalAndReadAsPlainText) {
  testing::TempDir dir;
  const auto folder = dir.path() / "listing";
  std::filesystem::create_directories(folder / "alpha-dir");
  std::ofstream(folder / "bravo-file") << "first line\nalpha needle omega\nlast line\n";
  std::filesystem::copy_file("/bin/true", folder / "charlie-exec");
  const std::string program[][3] = {{"/bin/ls", "--color=auto -C ", "alpha-dir  bravo-file  charlie-exec"},
                                    {"/bin/grep", "--color=auto needle ", "alpha needle omega"}};
  for (const auto& [path, args, shown] : program) {
    SCOPED_TRACE(path);
    testing::Window window;
    const std::string name = "org.marrowfield.Terminal" + testing::randomSuffix();
    const std::string operand = path == "/bin/ls" ? folder.string() : (folder / "bravo-file").string();
    window.choose(testing::writeDemoDesktopEntry(dir, name, path, args + operand).string());
    window.view.setFreshLaunch(false);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
    const auto line = window.find(shown);
    ASSERT_TRUE(line.has_value()) << window.dump();
    EXPECT_EQ(line->message, shown) << window.dump();
    EXPECT_EQ(line->origin, LineOrigin::standardOutput);
    for (std::size_t i = 0; i < window.view.events().size(); ++i) {
      const std::string_view message = window.view.events()[i].message;
      EXPECT_EQ(message.find('\x1b'), std::string_view::npos) << message;
      EXPECT_EQ(message.find("[0m"), std::string_view::npos) << message;
    }
  }
}

// A single-instance GApplication (mousepad) launched while it already runs
// on the same session bus passes the launch to that instance and exits: the
// trace says so, names the instance, and shows none of that instance's lines.
// (A copy that exits 0 without a call, and one of another program that
// calls, are no hand-off: launch_test's bus-peer cases.)
// (gnome-calculator, the other GApplication installed here, runs every
// launch as a new process and never hands off.)

constexpr const char* kMousepad = "/usr/share/applications/org.xfce.mousepad.desktop";

TEST(HandOffTest, ASecondLaunchOfASingleInstanceAppIsReportedAsAHandOff) {
  apps::XServer xserver;
  ASSERT_TRUE(xserver.ok()) << "Xvfb did not start";
  apps::SessionBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
  testing::TempDir dir;
  const auto environment = apps::desktopEnvironment(xserver.address(), bus.address(), dir.path().string());

  // The running instance, started as another launcher would, and chatty:
  // every GLib debug message, and GTK's warning about the locale.
  auto firstEnvironment = environment;
  firstEnvironment.emplace_back("G_MESSAGES_DEBUG", "all");
  firstEnvironment.emplace_back("LC_ALL", "xx_XX.UTF-8");
  const double firstStart = apps::wallClockNow();
  auto first = apps::startOutsideTrace({"mousepad"}, firstEnvironment, "org.xfce.mousepad");
  ASSERT_GT(first.pid(), 0);
  ASSERT_TRUE(testing::waitFor([&] { return busNameOwners(bus.address(), {"org.xfce.mousepad"})[0].has_value(); }, 30))
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
  const Verdict verdict = judgeTrace(window.view.events());
  EXPECT_EQ(verdict.kind, Verdict::Kind::handedOff);
  EXPECT_EQ(verdict.text, "Handed off to its running instance (PID " + std::to_string(first.pid()) +
                              "), whose lines this trace does not hold");
}

}  // namespace
}  // namespace mf
