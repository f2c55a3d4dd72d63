// SPDX-License-Identifier: GPL-3.0-or-later
// Whole traces through ContentView and the real platform services (journald,
// journalctl, posix_spawn, pidfds, a pseudo-terminal): what the user sees of
// a target's story, its crash, its end, and of launches that fail.

#include <gtest/gtest.h>

#include <csignal>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::TempDir;
using testing::waitFor;
using testing::Window;

// A private copy of the stdout test program and a desktop entry that runs it in `mode`.
std::string programEntry(const TempDir& dir, const std::string& name, const std::string& mode) {
  const auto program = dir.path() / name;
  std::filesystem::copy_file(MARROWFIELD_STDOUT_PROGRAM, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  return testing::writeDemoDesktopEntry(dir, name, program, mode).string();
}

TEST(Trace, ASuccessfulTraceTellsTheStoryInOrderWhicheverRoadEachLineTook) {
  TempDir dir;
  Window window;
  const auto demo = testing::demoEntry(dir, "");
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] {
    return window.ended() && window.find("error: failed to connect") && window.find("Ready for work") &&
           window.find("[" + demo.name + ":general]");
  })) << window.dump();

  const auto events = window.view.events().toVector();
  EXPECT_EQ(events.at(0).message, "Launch trace started for " + demo.name);
  EXPECT_EQ(events.at(1).message, "Unified log stream armed for process " + demo.name);
  const auto launched = window.indexOf(" launched with PID ");
  ASSERT_LT(launched + 1, events.size());
  EXPECT_EQ(events[launched + 1].message, demo.entry);
  EXPECT_FALSE(window.find(" exited with status"));  // a zero exit adds nothing
  // The story in the order it was written (stdout read at once, stderr and
  // the journal API tenths of a second later). The launch comes first: the
  // demo prints at once, but only once it runs.
  const std::vector<std::string> story = {" launched with PID ", "starting (pid", ":general] Reading workspace",
                                               "Could not open file", "Permission denied", "warning: cache",
                                               "error: failed to connect", "Ready for work", demo.name + " terminated"};
  for (std::size_t i = 1; i < story.size(); ++i) {
    EXPECT_LT(window.indexOf(story[i - 1]), window.indexOf(story[i])) << story[i] << "\n" << window.dump();
  }
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_LE(events[i - 1].time, events[i].time) << window.dump();
  EXPECT_EQ(window.find("starting (pid")->origin, LineOrigin::standardOutput);
  EXPECT_EQ(window.find("Permission denied")->origin, LineOrigin::standardError);
  EXPECT_EQ(window.find("error: failed to connect")->origin, LineOrigin::journal);
  EXPECT_EQ(window.find("Launch trace started for ")->origin, LineOrigin::trace);
  EXPECT_EQ(window.view.sessions().size(), 1u);
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
}

// The lines that explain a crash are the last ones printed: stdio on a
// terminal flushes each, so they are in the trace, once, before the crash;
// what went to stderr (the journal's road, or read directly) is there too.
TEST(Trace, WhatACrashingProgramPrintedComesOnceBeforeTheCrashOnEitherRoad) {
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "journal" : "direct capture");
    TempDir dir;
    Window window(journal ? JournalLogStreamLauncher::Options{} : testing::withoutJournal());
    window.choose(programEntry(dir, "crasher", "--printf-then-crash"));
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
    const auto crash = window.indexOf("crasher crashed: killed by signal 11 (SIGSEGV)");
    ASSERT_LT(crash, window.view.events().size()) << window.dump();
    EXPECT_EQ(window.view.events().at(crash + 1).message, "crasher terminated");
    for (const char* line : {"last words before the crash (1 of 2)", "last words before the crash (2 of 2)"}) {
      EXPECT_EQ(window.count(line), 1u) << line << "\n" << window.dump();
      EXPECT_LT(window.indexOf(line), crash) << window.dump();
      EXPECT_EQ(window.find(line)->origin, LineOrigin::standardOutput);
    }
    ASSERT_TRUE(window.find("about to dereference a null pointer")) << window.dump();
    EXPECT_EQ(window.find("about to dereference a null pointer")->origin, LineOrigin::standardError);
  }
}

TEST(Trace, AnExitBeforeTheMainThreadHeardOfTheLaunchIsStillReportedAfterIt) {
  // The main thread is busy while the target starts and ends: the launch
  // report and the watch come after the exit, which is still reported with
  // its status, after the launch.
  TempDir dir;
  Window window;
  const auto demo = testing::demoEntry(dir, "--exit 5");
  window.choose(demo.entry);
  const auto before = ChildWatcher::shared().liveChildren();
  window.view.startTrace();
  ASSERT_TRUE(window.view.isTracing());
  ASSERT_TRUE(waitFor([&] { return ChildWatcher::shared().liveChildren() == before; }));
  EXPECT_FALSE(window.find(" launched with PID "));  // nothing has run on the main thread yet
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && window.find("Ready for work"); })) << window.dump();
  const auto exited = window.indexOf(demo.name + " exited with status 5");
  EXPECT_LT(window.indexOf(" launched with PID "), exited) << window.dump();
  EXPECT_EQ(window.find(demo.name + " exited with status 5")->type, EventType::warning);
  EXPECT_EQ(window.view.events().at(exited + 1).message, demo.name + " terminated");
  EXPECT_EQ(window.count(" terminated"), 1u);
  EXPECT_FALSE(window.view.hasTerminationObserver());
}

TEST(Trace, StopLeavesTheTargetRunningAndFreshLaunchAsksItToQuitWithoutWaitingForIt) {
  TempDir dir;
  Window window;
  const auto demo = testing::demoEntry(dir, "--stay");
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid(); })) << window.dump();
  const auto first = window.targetPid();
  window.view.stopTrace(true);
  EXPECT_EQ(window.view.events().at(window.view.events().size() - 1).message, "Trace stopped");
  EXPECT_EQ(window.view.status().kind, TraceStatus::Kind::ready);
  EXPECT_FALSE(window.view.logProcess());
  ASSERT_TRUE(testing::processExists(first));

  // The next start with "Fresh Launch" on asks that instance to quit; this
  // one ignores the request.
  window.view.setLaunchParameters({"--ignore-term"}, {});
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid(); })) << window.dump();
  EXPECT_EQ(window.view.events().at(0).message, "Existing " + demo.name + " instance terminated for fresh launch");
  EXPECT_TRUE(waitFor([&] { return !testing::processExists(first); }));
  const pid_t stubborn = window.targetPid();
  ASSERT_TRUE(waitFor([&] { return testing::ignoresSignal(stubborn, SIGTERM); }));
  window.view.stopTrace(true);

  // Past an instance that ignores it, the start goes ahead after one short
  // wait and never forces the old instance.
  window.view.setLaunchParameters({}, {});
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid(); })) << window.dump();
  EXPECT_EQ(window.count("instance terminated for fresh launch"), 1u);
  EXPECT_NE(window.targetPid(), stubborn);
  EXPECT_TRUE(testing::processExists(stubborn));
  ::kill(stubborn, SIGKILL);
  // And the trace notices the end of its own target.
  EXPECT_TRUE(window.view.runningApplication()->terminate());
  EXPECT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
  EXPECT_EQ(window.view.sessions().size(), 3u);
}

TEST(Trace, AHelperThatOutlivesTheTargetIsReadToTheEndOnEitherRoad) {
  // The demo forks a helper and ends; the helper writes ten more lines over
  // about a second. All ten arrive once, in order.
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "journal" : "direct capture");
    TempDir dir;
    Window window(journal ? JournalLogStreamLauncher::Options{} : testing::withoutJournal());
    const auto demo = testing::demoEntry(dir, "--fork-child");
    window.choose(demo.entry);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.ended() && window.find("(10 of 10)"); })) << window.dump();
    std::size_t previous = 0;
    for (int i = 1; i <= 10; ++i) {
      const std::string line = "background helper still writing (" + std::to_string(i) + " of 10)";
      EXPECT_EQ(window.count(line), 1u) << line << "\n" << window.dump();
      EXPECT_GT(window.indexOf(line), previous);
      previous = window.indexOf(line);
    }
    // Direct capture delivers what was written before the end is reported.
    if (!journal) {
      EXPECT_LT(window.indexOf("Ready for work"), window.indexOf(demo.name + " terminated"));
    }
    EXPECT_EQ(window.count("Ready for work"), 1u);
  }
}

TEST(Trace, AJournalctlKilledMidTraceIsSaidOnceAndTheTraceEndsNormally) {
  TempDir dir;
  Window window;
  const auto demo = testing::demoEntry(dir, "--stay");
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid() && window.find("Ready for work"); })) << window.dump();
  const auto journalctl = testing::journalctlChildren();
  ASSERT_EQ(journalctl.size(), 1u);
  ASSERT_EQ(::kill(journalctl[0], SIGKILL), 0);
  const std::string said = "Unified log stream ended unexpectedly: journalctl was killed by signal 9 (SIGKILL)";
  ASSERT_TRUE(window.runUntil([&] { return window.find(said).has_value(); })) << window.dump();
  EXPECT_EQ(window.find(said)->type, EventType::warning);
  EXPECT_FALSE(window.view.logProcess()->isRunning());
  EXPECT_TRUE(window.tracingPid());
  // Its end is still noticed through the pidfd, and recorded.
  window.view.runningApplication()->terminate();
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
  EXPECT_EQ(window.view.events().at(window.view.events().size() - 1).message, demo.name + " terminated");
  EXPECT_EQ(window.count("ended unexpectedly"), 1u);
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
}

// What programs do with a terminal on stdout: close it, read stdin, leave a
// daemon that keeps it, draw with escape sequences and carriage returns.
TEST(Trace, ProgramsThatCloseReadOrKeepTheTerminalOrDrawOnItEndNormallyAndReadAsText) {
  TempDir dir;
  Window window;
  window.choose(programEntry(dir, "closer", "--close-stdout"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && window.find("ending normally"); })) << window.dump();
  EXPECT_TRUE(window.find("a line before stdout is closed"));
  EXPECT_FALSE(window.find("exited with status")) << window.dump();

  window.choose(programEntry(dir, "reader", "--read-stdin"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && window.find("stdin ended"); })) << window.dump();
  EXPECT_TRUE(window.find("stdin ended after 0 bytes")) << window.dump();

  // The trace ends with the target while the daemon still prints; its lines
  // are still read, so it runs to its end.
  window.choose(programEntry(dir, "daemonizer", "--daemon-grandchild"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
  EXPECT_FALSE(window.find("daemon still printing (20 of 20)")) << "the trace waited for the daemon";
  EXPECT_TRUE(window.runUntil([&] { return window.find("daemon still printing (20 of 20)").has_value(); }));

  constexpr std::size_t kLines = 2000;
  window.choose(programEntry(dir, "painter", "--escapes " + std::to_string(kLines)));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && window.find("escapes finished"); }, 60)) << window.dump();
  std::size_t done = 0;
  for (std::size_t i = 0; i < window.view.events().size(); ++i) {
    const auto message = window.view.events()[i].message;
    EXPECT_EQ(message.find_first_of("\x1b\x07\r"), std::string_view::npos) << message;
    if (message.starts_with("done ")) ++done;
  }
  EXPECT_EQ(done, kLines);
  EXPECT_EQ(window.count("progress "), 1u) << "a redrawn bar is one line, in its last state";
  EXPECT_TRUE(window.find("progress 100%")) << window.dump();
}

TEST(Trace, TheTargetOutlivesAWindowClosedMidTrace) {
  TempDir dir;
  pid_t target = -1;
  {
    Window window;
    window.choose(programEntry(dir, "talker", "--print-forever"));
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.find("still alive 3").has_value(); })) << window.dump();
    target = window.targetPid();
  }
  // It goes on printing into a terminal nobody reads: not blocked, not
  // killed by SIGHUP or SIGPIPE.
  EXPECT_TRUE(testing::keepsRunning(target));
  ::kill(target, SIGKILL);
}

// An instance that an earlier trace in the same window started and left
// running (Stop, then a new trace with "Fresh Launch" off) still writes to
// the stderr stream it was given; those lines are not the new target's.
TEST(Trace, AnEarlierTracesInstanceIsNotInTheNextTrace) {
  TempDir dir;
  const std::string marker = "mftick-" + testing::randomSuffix();
  const auto script = dir.write("ticker", "#!/bin/sh\nwhile :; do echo \"$TICK tick\" >&2; sleep 0.2; done\n", true);
  Window window;
  window.choose(testing::writeDemoDesktopEntry(dir, "ticker-" + testing::randomSuffix(), script, "").string());
  window.view.setFreshLaunch(false);
  window.view.setLaunchParameters({}, {{"TICK", marker + "-first"}});
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.count(marker + "-first tick") > 0; })) << window.dump();
  const auto first = window.targetPid();
  window.view.stopTrace(true);

  window.view.setLaunchParameters({}, {{"TICK", marker + "-second"}});
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.count(marker + "-second tick") >= 5; })) << window.dump();
  ASSERT_NE(first, window.targetPid());
  EXPECT_TRUE(testing::processExists(first));
  EXPECT_EQ(window.count(marker + "-first"), 0u) << window.dump();
  ::kill(first, SIGKILL);
  window.view.runningApplication()->terminate();
}

TEST(Trace, NamesWithQuotesNewlinesAndForeignBytesAreOneArgumentAndShownAsTheyAre) {
  // A desktop entry whose name holds a double quote and shell syntax, and a
  // program whose file name holds blanks, a newline and bytes that are not
  // UTF-8. (A newline in the journal stream's identifier used to end the
  // stream's header early: journald hung up and the target died of SIGPIPE.)
  TempDir dir;
  const std::string entryName = "q\"uote $(x) `y`-" + testing::randomSuffix();
  const std::string programName = std::string("we'ird \"name\" $(x)\n\xff\xfe-") + testing::randomSuffix();
  const std::string script = "#!/bin/sh\necho \"odd program says hello\"\necho 'and on stderr' >&2\n";
  const auto program = dir.write(programName, script, true);
  const auto entry = testing::writeDemoDesktopEntry(dir, entryName, dir.write("hello", script, true), "");
  for (const auto& [path, name] : {std::pair{entry, entryName}, std::pair{program, programName}}) {
    Window window;
    window.choose(path.string());
    EXPECT_EQ(window.view.selectedAppName(), name);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] {
      return window.ended() && window.find("odd program says hello") && window.find("and on stderr");
    })) << window.dump();
    EXPECT_EQ(window.view.events().at(1).message, "Unified log stream armed for process " + name);
    EXPECT_TRUE(window.find(path.string()));
    EXPECT_FALSE(window.find("crashed")) << window.dump();
    EXPECT_FALSE(window.find("exited with status")) << window.dump();
  }
}

}  // namespace
}  // namespace mf
