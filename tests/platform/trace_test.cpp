// SPDX-License-Identifier: GPL-3.0-or-later
// Whole traces through ContentView and the real platform services (journald,
// journalctl, posix_spawn, pidfds, a pseudo-terminal): the roads a target's
// lines take, its end, and what programs do with their terminal.

#include <gtest/gtest.h>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment(false));

using testing::TempDir;
using testing::waitFor;
using testing::Window;

// Starts a trace of `entry` and runs it to its end and `until`.
void traceToTheEnd(Window& window, const std::string& entry, const std::function<bool()>& until = [] { return true; }) {
  window.choose(entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended() && until(); }, 60)) << window.dump();
}

// The main thread is busy while the target starts, tells its story and
// ends: the launch report, the lines and the watch all come after the exit.
// The story is still told in the order it was written, whichever road each
// line took (stdout read at once, stderr and the journal API tenths of a
// second later), between the launch and the exit, which is still reported.
// Each line is in the trace once. The journal holds stdout too, as a
// launcher's stream would have stored it; past journald's pace for such a
// stream the rest is counted, and the count is there as soon as stdout ends.
TEST(Trace, AStoryToldBeforeTheMainThreadHeardOfTheLaunchIsInOrderWhicheverRoadEachLineTook) {
  MF_NEEDS_JOURNAL();
  TempDir dir;
  Window window;
  const auto demo = testing::demoEntry(dir, "--exit 5 --flood 15000");
  window.choose(demo.entry);
  const auto before = ChildWatcher::shared().liveChildren();
  window.view.startTrace();
  ASSERT_TRUE(waitFor([&] { return ChildWatcher::shared().liveChildren() == before; }));
  EXPECT_EQ(window.targetPid(), -1);  // nothing has run on the main thread yet
  ASSERT_TRUE(window.runUntil([&] {
    return window.ended() && window.find("error: failed to connect") && window.find("Ready for work") &&
           window.find("[" + demo.name + ":general]");
  })) << window.dump();
  const std::vector<std::string> story = {" launched with PID ", "starting (pid", ":general] Reading workspace",
                                          "Could not open file", "Permission denied", "warning: cache",
                                          "error: failed to connect", "Ready for work",
                                          demo.name + " exited with status 5", demo.name + " terminated"};
  for (std::size_t i = 1; i < story.size(); ++i) {
    EXPECT_LT(window.indexOf(story[i - 1]), window.indexOf(story[i])) << story[i] << "\n" << window.dump();
  }
  const auto events = window.view.events().toVector();
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_LE(events[i - 1].time, events[i].time) << window.dump();
  EXPECT_EQ(window.find("starting (pid")->origin, LineOrigin::standardOutput);
  EXPECT_EQ(window.find("Permission denied")->origin, LineOrigin::standardError);
  EXPECT_EQ(window.find("error: failed to connect")->origin, LineOrigin::journal);
  std::string journal;
  EXPECT_TRUE(waitFor([&] {
    journal = testing::runProgram({"journalctl", "--no-pager", "-o", "cat", "SYSLOG_IDENTIFIER=" + demo.name,
                                   "SYSLOG_PID=" + std::to_string(window.targetPid())}).output;
    return journal.find("Ready for work") != std::string::npos &&  // shorter than a line's bookkeeping
           journal.find("lines this program printed on stdout") != std::string::npos;
  })) << journal.substr(0, 400);
  // What the journal still hands on once the trace ended is read to its end.
  ASSERT_TRUE(window.runUntil([&] { return window.platform.logStreams.lingeringStreams() == 0; }));
  for (const char* line : {"starting (pid", "flood line 15000", "Permission denied", "error: failed to connect"})
    EXPECT_EQ(window.count(line), 1u) << line;
}

// Through the journal or read directly, a crashing program's last lines
// (stdio on a terminal flushes each) come once before the crash, and a helper
// that outlives the target is read to its end: each line once, in order.
TEST(Trace, LastWordsBeforeACrashAndAHelpersLaterLinesArriveOnceOnEitherRoad) {
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "journal" : "direct capture");
    TempDir dir;
    Window window(journal ? JournalLogStreamLauncher::Options{} : testing::withoutJournal());
    // A private copy of the stdio program, named for its lines alone.
    std::filesystem::copy_file(MARROWFIELD_STDOUT_PROGRAM, dir.path() / "crasher");
    traceToTheEnd(window, testing::writeDemoDesktopEntry(dir, "crasher", dir.path() / "crasher", "--printf-then-crash"));
    const auto crash = window.indexOf("crasher crashed: killed by signal 11 (SIGSEGV)");
    ASSERT_LT(crash, window.view.events().size()) << window.dump();
    for (const char* line : {"last words before the crash (1 of 2)", "last words before the crash (2 of 2)",
                             "about to dereference a null pointer"}) {
      EXPECT_EQ(window.count(line), 1u) << line << "\n" << window.dump();
      EXPECT_LT(window.indexOf(line), crash) << window.dump();
    }
    EXPECT_EQ(window.find("about to dereference")->origin, LineOrigin::standardError);

    const auto demo = testing::demoEntry(dir, "--fork-child");
    traceToTheEnd(window, demo.entry, [&] { return window.find("(10 of 10)").has_value(); });
    std::size_t previous = 0;
    for (int i = 1; i <= 10; ++i) {
      const std::string line = "background helper still writing (" + std::to_string(i) + " of 10)";
      EXPECT_EQ(window.count(line), 1u) << line << "\n" << window.dump();
      EXPECT_GT(window.indexOf(line), previous);
      previous = window.indexOf(line);
    }
    // Direct capture delivers what was written before the end is reported.
    EXPECT_TRUE(journal || window.indexOf("Ready for work") < window.indexOf(demo.name + " terminated")) << window.dump();
  }
}

// What programs do with a terminal on stdout: close it and go on, read
// stdin (there is none), leave a daemon that keeps printing to it. Each
// ends normally and is read to its last line; the trace ends with the
// target, not with the daemon. (How what programs draw on a terminal reads
// is the terminal text's, and real programs' in the apps tests.)
TEST(Trace, ProgramsThatCloseReadOrKeepTheTerminalEndNormally) {
  TempDir dir;
  Window window;
  const std::pair<const char*, const char*> cases[] = {
      {"echo a line before stdout is closed; exec >&-; sleep 0.3; echo ending normally >&2", "ending normally"},
      {"echo \"stdin ended after $(wc -c) bytes\"", "stdin ended after 0 bytes"},
      {"setsid sh -c 'for i in 1 2 3 4 5; do sleep 0.2; echo daemon still printing $i; done' &", "printing 5"}};
  for (const auto& [script, expected] : cases) {
    const std::string last = expected;  // a lambda may not capture a structured binding before clang 16
    window.choose(dir.write("program-" + testing::randomSuffix(), std::string("#!/bin/sh\n") + script + "\n", true));
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
    EXPECT_TRUE(!window.find("daemon") || !window.find(last)) << "the trace waited for the daemon";
    EXPECT_TRUE(window.runUntil([&] { return window.find(last).has_value(); })) << window.dump();
    EXPECT_FALSE(window.find("exited with status")) << window.dump();
  }
}

}  // namespace
}  // namespace mf
