// SPDX-License-Identifier: GPL-3.0-or-later
// The probe logs through every road a Linux program has into the journal
// (GLib structured logging, sd-journal, syslog, a logger child, a grandchild
// that outlives it, stdout, stderr); each of its lines must be in the trace
// exactly once.

#include <gtest/gtest.h>

#include <csignal>

#include "apps_support.h"
#include "journal_fixture.h"
#include "platform_test_support.h"
#include "reliability_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

class ProbeTraceTest : public ::testing::Test {
 protected:
  // A desktop entry whose name is not the program's: the probe's own
  // messages carry "logging-probe", the trace's name is the entry's.
  std::string chooseProbe(const std::string& mode) {
    const std::string name = "org.marrowfield.Probe" + testing::randomSuffix();
    const auto entry = testing::writeDemoDesktopEntry(dir, name, MARROWFIELD_PROBE_PATH, mode + " " + marker);
    window.choose(entry.string());
    window.view.setFreshLaunch(false);
    return name;
  }

  // Until the trace ended and its log stream stopped reading: later lines
  // cannot come any more, so a count is final.
  bool runToTheEnd(const std::function<bool()>& arrived) {
    return window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded && arrived(); }, 30) &&
           window.runUntil([&] { return window.platform.logStreams.lingeringStreams() == 0; }, 15);
  }

  testing::TempDir dir;
  std::string marker = "mfprobe-" + testing::randomSuffix();
  reliability::Window window;
};

TEST_F(ProbeTraceTest, EveryLineOfEveryRoadArrivesExactlyOnce) {
  const bool syslogHasAWayIn = testing::ensureSyslogSocketLink();
  const std::string name = chooseProbe("all");
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
  ASSERT_TRUE(runToTheEnd(allArrived)) << window.dump();
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

TEST_F(ProbeTraceTest, WhatACrashingProgramPrintedComesBeforeTheCrash) {
  const std::string name = chooseProbe("crash");
  window.view.startTrace();
  ASSERT_TRUE(runToTheEnd([&] { return window.count(marker + " before-crash-2") > 0; })) << window.dump();
  const auto crash = window.indexOf(name + " crashed: killed by signal 11 (SIGSEGV)");
  ASSERT_LT(crash, window.view.events().size()) << window.dump();
  EXPECT_EQ(window.view.events().at(crash).source, "CRASH");
  EXPECT_EQ(window.count(marker + " before-crash-1"), 1u);
  EXPECT_EQ(window.count(marker + " before-crash-2"), 1u);
  EXPECT_LT(window.indexOf(marker + " before-crash-1"), window.indexOf(marker + " before-crash-2"));
  EXPECT_LT(window.indexOf(marker + " before-crash-2"), crash) << window.dump();
}

// An instance that an earlier trace in the same window started and left
// running (Stop, then a new trace with "Fresh Launch" off) still writes to
// the stderr stream it was given; those lines are not the new target's.
TEST_F(ProbeTraceTest, AnEarlierTracesInstanceIsNotInTheNextTrace) {
  const auto script = dir.write("ticker",
                                "#!/bin/sh\n"
                                "while :; do echo \"$TICK tick\" >&2; sleep 0.2; done\n",
                                true);
  const std::string name = "org.marrowfield.Ticker" + testing::randomSuffix();
  window.choose(testing::writeDemoDesktopEntry(dir, name, script, "").string());
  window.view.setFreshLaunch(false);

  window.view.setLaunchParameters({}, {{"TICK", marker + "-first"}});
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.count(marker + "-first tick") > 0; })) << window.dump();
  const auto first = apps::launchedPid(window.find(" launched with PID ")->message);
  window.view.stopTrace(true);

  window.view.setLaunchParameters({}, {{"TICK", marker + "-second"}});
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.count(marker + "-second tick") >= 5; })) << window.dump();
  const auto second = apps::launchedPid(window.find(" launched with PID ")->message);
  ASSERT_NE(first, second);
  EXPECT_TRUE(testing::processExists(first));
  EXPECT_EQ(window.count(marker + "-first"), 0u) << window.dump();
  window.view.stopTrace(true);
  ::kill(first, SIGTERM);
  ::kill(second, SIGTERM);
}

}  // namespace
}  // namespace mf
