// SPDX-License-Identifier: GPL-3.0-or-later
// Whole traces of the demo target through ContentView and the real platform
// services: journald, journalctl, posix_spawn, pidfds.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "journal_fixture.h"
#include "platform/event_loop_main_queue.h"
#include "platform/linux_services.h"
#include "platform/linux_workspace.h"
#include "platform/log_stream.h"
#include "platform/system_clock.h"
#include "platform_test_support.h"
#include "trace/content_view.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::waitFor;

using testing::ChosenPath;
using testing::Clipboard;

class TraceTest : public ::testing::Test {
 protected:
  explicit TraceTest(JournalLogStreamLauncher::Options streamOptions = {}) : platform(queue, std::move(streamOptions)) {}

  // A desktop entry for the demo under a name of its own; returns the name.
  std::string chooseDemo(const std::string& args) {
    const auto link = testing::privateDemo(dir);
    const std::string name = link.filename();
    panel.path = testing::writeDemoDesktopEntry(dir, name, link, "--bundle-id " + name + " " + args).string();
    view.chooseApplication();
    return name;
  }

  std::optional<MarrowfieldEvent> find(std::string_view text) const {
    for (const auto& event : view.events().toVector()) {
      if (event.message.find(text) != std::string::npos) return event;
    }
    return std::nullopt;
  }
  std::size_t indexOf(std::string_view text) const {
    const auto events = view.events().toVector();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].message.find(text) != std::string::npos) return i;
    }
    return events.size();
  }
  bool runUntil(const std::function<bool()>& condition, double seconds = 10) {
    // Slices, because the condition may change without a post (a process
    // that the test itself ends).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      queue.runUntil(condition, 0.05);
    }
    return true;
  }
  std::string dump() const {
    std::string text;
    for (const auto& event : view.events().toVector()) {
      text += std::string(label(event.type)) + " " + event.source + " " + event.message + "\n";
    }
    return text + "status: " + view.statusText();
  }

  testing::TempDir dir;
  EventLoopMainQueue queue;
  LinuxServices platform;
  ChosenPath panel;
  Clipboard pasteboard;
  ContentView view{platform.services(panel, pasteboard)};
};

TEST_F(TraceTest, ASuccessfulTraceListsTheStepsAndTheDemosLinesClassified) {
  const std::string name = chooseDemo("");
  EXPECT_EQ(view.status(), (TraceStatus{TraceStatus::Kind::readyToTrace, name, 0}));
  EXPECT_EQ(view.selectedBundleIdentifier(), name);
  view.startTrace();
  ASSERT_TRUE(runUntil([&] {
    return view.status().kind == TraceStatus::Kind::processEnded && find("error: failed to connect") && find("Ready for work") &&
           find("[" + name + ":general]");
  })) << dump();

  const auto events = view.events().toVector();
  EXPECT_EQ(events.at(0).message, "Launch trace started for " + name);
  EXPECT_EQ(events.at(1).message, "Unified log stream armed for process " + name);
  const auto launched = indexOf(" launched with PID ");
  ASSERT_LT(launched + 1, events.size());
  EXPECT_EQ(events[launched].type, EventType::success);
  EXPECT_EQ(events[launched + 1].source, "PATH");
  EXPECT_EQ(events[launched + 1].message, *panel.path);
  EXPECT_LT(launched, indexOf(name + " terminated"));
  EXPECT_FALSE(find(" exited with status"));  // a zero exit adds nothing

  // The story in the order it was written, whichever road each line took
  // (stdout read at once, stderr and the journal API tenths of a second later).
  // The launch comes first: the demo prints at once, but only once it runs.
  const std::vector<std::string_view> story = {" launched with PID ", "starting (pid",       ":general] Reading workspace", "Could not open file",
                                               "Permission denied",   "warning: cache",               "error: failed to connect",
                                               "Ready for work"};
  for (std::size_t i = 1; i < story.size(); ++i) EXPECT_LT(indexOf(story[i - 1]), indexOf(story[i])) << dump();
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_LE(events[i - 1].time, events[i].time) << dump();
  EXPECT_EQ(find("starting (pid")->origin, LineOrigin::standardOutput);
  EXPECT_EQ(find("Permission denied")->origin, LineOrigin::standardError);
  EXPECT_EQ(find("error: failed to connect")->origin, LineOrigin::journal);
  EXPECT_EQ(find("Launch trace started for ")->origin, LineOrigin::trace);

  auto expect = [&](std::string_view text, EventType type, std::string_view source, bool noise) {
    const auto event = find(text);
    ASSERT_TRUE(event) << text;
    EXPECT_EQ(event->type, type) << text;
    EXPECT_EQ(event->source, source) << text;
    EXPECT_EQ(event->isRoutineNoise, noise) << text;
  };
  expect("No such file or directory", EventType::info, "FILE", false);
  expect("Permission denied", EventType::error, "PERMISSION", false);
  expect("warning: cache", EventType::warning, "CONSOLE", false);
  expect("error: failed to connect", EventType::error, "CONSOLE", false);
  expect(":general] Reading workspace settings", EventType::info, "CONSOLE", false);  // app-authored
  expect("Ready for work", EventType::info, "CONSOLE", false);  // its own stdout

  EXPECT_FALSE(view.isTracing());
  ASSERT_EQ(view.sessions().size(), 1u);
  EXPECT_EQ(view.sessions()[0].appName, name);
  view.copySummary();
  EXPECT_EQ(pasteboard.text.rfind("Marrowfield Diagnostic Summary\nApp: " + name + "\nPath: " + *panel.path +
                                      "\nBundle ID: " + name + "\nMode: Actionable\n\n",
                                  0),
            0u)
      << pasteboard.text;
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
}

TEST_F(TraceTest, ACrashAtOnceIsReportedWithItsLastWords) {
  const std::string name = chooseDemo("--crash");
  view.startTrace();
  // The journal's lines come after the exit; the stream lingers for them.
  ASSERT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::processEnded && find("fatal error: dereferencing"); }))
      << dump();
  const auto crash = indexOf(name + " crashed: killed by signal 11 (SIGSEGV)");
  ASSERT_LT(crash, view.events().size()) << dump();
  EXPECT_EQ(view.events().at(crash).type, EventType::error);
  EXPECT_EQ(view.events().at(crash).source, "CRASH");
  EXPECT_EQ(view.events().at(crash + 1).message, name + " terminated");
  const auto lastWords = find("fatal error: dereferencing");
  EXPECT_EQ(lastWords->type, EventType::error);
  EXPECT_EQ(lastWords->source, "CRASH");
  // What it printed before it died is its own word: in view and in the summary.
  view.copySummary();
  for (const std::string_view printed : {"starting (pid", "Ready for work"}) {
    const auto visible = view.visibleEvents();
    EXPECT_TRUE(std::any_of(visible.begin(), visible.end(),
                            [&](const MarrowfieldEvent& e) { return e.message.find(printed) != std::string::npos; }))
        << printed << "\n" << dump();
    EXPECT_NE(pasteboard.text.find(printed), std::string::npos) << pasteboard.text;
  }
}

TEST_F(TraceTest, ANonZeroExitIsAWarningBeforeTheTerminatedEvent) {
  const std::string name = chooseDemo("--exit 3");
  view.startTrace();
  ASSERT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::processEnded; })) << dump();
  const auto exited = indexOf(name + " exited with status 3");
  ASSERT_LT(exited, view.events().size()) << dump();
  EXPECT_EQ(view.events().at(exited).type, EventType::warning);
  EXPECT_EQ(view.events().at(exited + 1).message, name + " terminated");
}

TEST_F(TraceTest, StopLeavesTheTargetRunningAndFreshLaunchQuitsIt) {
  const std::string name = chooseDemo("--stay");
  view.startTrace();
  ASSERT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::tracing; })) << dump();
  const auto pid = view.runningApplication()->processIdentifier();
  view.stopTrace(true);
  EXPECT_EQ(view.events().at(view.events().size() - 1).message, "Trace stopped");
  EXPECT_EQ(view.status().kind, TraceStatus::Kind::ready);
  EXPECT_FALSE(view.logProcess());
  ASSERT_TRUE(testing::processExists(pid));

  // The next start with "Fresh Launch" on asks that instance to quit.
  view.startTrace();
  ASSERT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::tracing; })) << dump();
  EXPECT_EQ(view.events().at(0).message, "Existing " + name + " instance terminated for fresh launch");
  EXPECT_TRUE(waitFor([&] { return !testing::processExists(pid); }));
  ASSERT_TRUE(view.runningApplication());
  const auto second = view.runningApplication()->processIdentifier();
  EXPECT_NE(second, pid);
  // And the trace notices the end of its own target.
  EXPECT_TRUE(view.runningApplication()->terminate());
  EXPECT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::processEnded; })) << dump();
}

TEST_F(TraceTest, ALaunchFailureEndsTheTraceWithTheReason) {
  panel.path = dir.write("tool", "#!/bin/sh\necho never\n", false).string();
  view.chooseApplication();
  EXPECT_EQ(view.selectedBundleIdentifier(), "");  // not an application
  view.startTrace();
  ASSERT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::launchFailed; })) << dump();
  EXPECT_TRUE(find("Launch failed: " + *panel.path + ": Permission denied")) << dump();
  EXPECT_FALSE(view.isTracing());
  EXPECT_EQ(view.sessions().size(), 1u);
}

class TraceWithoutJournalTest : public TraceTest {
 protected:
  static JournalLogStreamLauncher::Options noJournal() {
    JournalLogStreamLauncher::Options options;
    options.journalSocket = "/nonexistent/marrowfield/journal.socket";
    return options;
  }
  TraceWithoutJournalTest() : TraceTest(noJournal()) {}
};

TEST_F(TraceWithoutJournalTest, TheTargetsOutputIsCapturedDirectly) {
  chooseDemo("--exit 2");
  view.startTrace();
  ASSERT_TRUE(runUntil([&] { return view.status().kind == TraceStatus::Kind::processEnded; })) << dump();
  const auto warning = find("Could not arm unified log stream: ");
  ASSERT_TRUE(warning);
  EXPECT_EQ(warning->message, "Could not arm unified log stream: the systemd journal is not running");
  EXPECT_EQ(warning->type, EventType::warning);
  // Output written before the exit arrives before the exit is reported.
  const auto denied = indexOf("open(/var/lib/marrowfield-demo/secret.key): Permission denied");
  EXPECT_LT(denied, indexOf("exited with status 2")) << dump();
  EXPECT_LT(indexOf("warning: cache"), indexOf("Ready for work"));
}

}  // namespace
}  // namespace mf
