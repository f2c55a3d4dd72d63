// SPDX-License-Identifier: GPL-3.0-or-later
// The probe logs through every road a Linux program has into the journal
// (GLib structured logging, sd-journal, syslog, a logger child, a grandchild
// that outlives it, stdout, stderr); each of its lines must be in the trace
// exactly once.

#include <gtest/gtest.h>

#include "apps_support.h"
#include "journal_fixture.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

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
    for (const auto& line : lines) {
      if (window.count(marker + " " + line) == 0) return false;
    }
    return true;
  };
  // Until the trace ended and its log stream stopped reading: later lines
  // cannot come any more, so a count is final.
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && allArrived(); }, 30)) << window.dump();
  ASSERT_TRUE(window.runUntil([&] { return window.platform.logStreams.lingeringStreams() == 0; }, 15));
  for (const auto& line : lines) EXPECT_EQ(window.count(marker + " " + line), 1u) << line << "\n" << window.dump();

  // Whose line it is shows, as the journal has it.
  const auto pid = apps::launchedPid(window.find(" launched with PID ")->message);
  ASSERT_GT(pid, 0);
  const auto warning = window.find(marker + " glib-warning");
  EXPECT_NE(warning->message.find("logging-probe[" + std::to_string(pid) + "]: MfProbe: "), std::string::npos)
      << warning->message;
  EXPECT_EQ(warning->type, EventType::warning);  // PRIORITY 4, nothing in its text
  EXPECT_NE(window.find(marker + " logger-child")->message.find("other-name["), std::string::npos);
  EXPECT_NE(window.find(marker + " stderr")->message.find(name + "[" + std::to_string(pid) + "]: "),
            std::string::npos);
  EXPECT_EQ(window.find(" exited with status"), std::nullopt) << window.dump();
}

}  // namespace
}  // namespace mf
