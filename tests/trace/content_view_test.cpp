// SPDX-License-Identifier: GPL-3.0-or-later
// A ContentView on the fakes, from a trace's start to its end: the steps and
// their events, the status line, what the fakes are asked to do, the work
// that arrives late; then the history of one window, browsing it, and the
// copies to the pasteboard. The summary's own text is export's
// (tests/export); the cap on the history is history's (tests/history).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/cases.h"
#include "support/fakes.h"
#include "trace/content_view.h"
#include "trace/signal_names.h"
#include "trace/target_name.h"

namespace mf::testing {
namespace {

constexpr const char* kAppPath = "/opt/apps/X.desktop";
constexpr const char* kBundleId = "org.example.X";
constexpr const char* kArming = "Arming trace for X\xE2\x80\xA6";
using Strings = std::vector<std::string>;

// A ContentView on fakes, seen as the views see it: through its change
// notification and what it asked of the fakes. Events read as short strings
// ("INFO SESSION Launch trace started for X") so whole sequences compare at once.
class ContentViewTest : public ::testing::Test {
 protected:
  ContentViewTest() : view(std::make_unique<ContentView>(fakes.services())) {
    view->setChangeObserver([this](const Change& change) { changes.push_back(change); });
  }

  void choose(const std::string& path = kAppPath, const std::string& bundleId = kBundleId) {
    if (!bundleId.empty()) fakes.workspace.bundleIds[path] = bundleId;
    fakes.openPanel.answers.push_back(path);
    view->chooseApplication();
  }
  static Strings describe(const EventList& events) {
    Strings out;
    for (std::size_t i = 0; i < events.size(); ++i) {
      out.push_back(std::string(label(events[i].type)) + " " + std::string(events[i].source) + " " +
                    std::string(events[i].message));
    }
    return out;
  }
  Strings events() const { return describe(view->events()); }
  std::string status() const { return view->statusText(); }
  // Lines through the latest log stream's sink, as the reader thread delivers them.
  void pushLog(std::initializer_list<std::string_view> lines) {
    fakes.logStreams.lastSink()(LineBatch::of(lines));
    fakes.mainQueue.runAll();
  }
  // Chooses X if nothing is chosen, starts, completes the launch with `pid`.
  void startTracing(std::int32_t pid = 4242) {
    if (!view->selectedAppURL()) choose();
    view->startTrace();
    fakes.workspace.completeWithPid(pid);
    fakes.mainQueue.runAll();
  }

  FakeServices fakes;
  std::unique_ptr<ContentView> view;
  std::vector<Change> changes;
};

// What is new is judged against the previous session of the same target:
// numbers masked, another target's session skipped, an opened session
// compared with the one before it, the oldest with nothing.
TEST_F(ContentViewTest, NewSinceThePreviousLaunchOfTheSameTarget) {
  const auto newOnes = [this] {
    Strings out;
    for (std::size_t i = 0; i < view->events().size(); ++i) {
      if (view->isNew(view->events()[i]).value_or(false)) out.emplace_back(view->events()[i].message);
    }
    return out;
  };
  startTracing(10);
  EXPECT_EQ(view->previousSession(), nullptr);
  pushLog({"error: disk 1 full"});
  view->stopTrace(true);
  choose("/opt/apps/Other.desktop", "org.example.Other");
  startTracing(11);
  pushLog({"error: something else"});
  view->stopTrace(true);
  choose();
  startTracing(12);
  pushLog({"error: disk 2 full", "error: cannot open /tmp/a/sock"});
  ASSERT_NE(view->previousSession(), nullptr);
  EXPECT_EQ(view->previousSession()->id, view->sessions().at(1).id) << "the same target's, not the latest";
  EXPECT_EQ(newOnes(), Strings({"error: cannot open /tmp/a/sock"}));
  view->setShowOnlyNew(true);
  ASSERT_EQ(view->visibleRows().size(), 1u);
  EXPECT_EQ(view->events()[view->visibleRows()[0]].message, "error: cannot open /tmp/a/sock");
  // A flood adds to the new rows where they end; the view is not sent back
  // to the top of the list.
  changes.clear();
  pushLog({"error: disk 3 full", "error: first seen"});
  ASSERT_EQ(view->visibleRows().size(), 2u);
  EXPECT_EQ(view->events()[view->visibleRows()[1]].message, "error: first seen");
  ASSERT_FALSE(changes.empty());
  EXPECT_FALSE(changes.back().has(Change::visibleReset));
  EXPECT_TRUE(changes.back().has(Change::visibleInserted) && changes.back().firstChangedRow == 1);
  view->setShowOnlyNew(false);
  view->stopTrace(true);
  view->openSavedSession(view->sessions().at(2));
  EXPECT_EQ(view->previousSession(), nullptr) << "the oldest session has nothing before it";
  EXPECT_TRUE(newOnes().empty());
}

class TargetNames : public ::testing::TestWithParam<NamedCase> {};

TEST_P(TargetNames, SignalNamesAndApplicationNames) {
  const auto& c = GetParam().fields;
  EXPECT_EQ(c[0] == "signal" ? signalName(std::stoi(c[1])) : applicationNameFromPath(c[1]), c[2]);
}

INSTANTIATE_TEST_SUITE_P(Table, TargetNames, ::testing::ValuesIn(readNamedCases(MARROWFIELD_CASES "/names.tsv")), caseName);

TEST_F(ContentViewTest, SuccessfulFreshLaunchRunsTheStepsInOrder) {
  choose();
  auto accepting = std::make_shared<FakeRunningApplication>(100, true);
  auto refusing = std::make_shared<FakeRunningApplication>(101, false);
  fakes.workspace.running[kBundleId] = {refusing, accepting};
  // Lines that arrive during the 0.15 s wait are ingested at once.
  bool isTracingDuringWait = false;
  fakes.mainQueue.onWait = [&](double seconds) {
    // The views have heard of the start before the wait.
    isTracingDuringWait = view->isTracing() && !changes.empty() && status() == kArming;
    if (seconds == 0.15) pushLog({"error: early failure"});
  };
  view->startTrace();
  EXPECT_EQ(fakes.mainQueue.waits, (std::vector<double>{0.35, 0.15}));
  EXPECT_TRUE(isTracingDuringWait);
  EXPECT_EQ(refusing->terminateCalls + accepting->terminateCalls, 2);
  ASSERT_EQ(fakes.workspace.opens.size(), 1u);
  EXPECT_EQ(fakes.workspace.opens[0].path, kAppPath);
  EXPECT_TRUE(fakes.workspace.opens[0].options.output) << "stdout is read directly in every trace";
  EXPECT_TRUE(fakes.workspace.opens[0].options.stderrToJournal) << "the journal stream is armed: stderr goes there";
  fakes.workspace.completeWithPid(4242);
  EXPECT_EQ(status(), kArming) << "the completion only posts";
  fakes.mainQueue.runAll();
  pushLog({"warning: later"});
  EXPECT_TRUE(changes.back().has(Change::visibleInserted)) << "a single new row is news too";
  EXPECT_EQ(events(), (Strings{"INFO PROCESS Existing X instance terminated for fresh launch",
                                "INFO SESSION Launch trace started for X", "INFO LOG Unified log stream armed for process X",
                                "ERROR CONSOLE error: early failure", "OK PROCESS X launched with PID 4242",
                                std::string("INFO PATH ") + kAppPath, "WARN CONSOLE warning: later"}));
  EXPECT_EQ(status(), "Tracing PID 4242");
  EXPECT_EQ(fakes.workspace.observers.at(0)->pid, 4242);

  // No identifier: nothing is asked to quit and there is nothing to wait for
  // (real instances asked to quit: tests/platform and tests/cli).
  view->stopTrace(false);
  fakes.mainQueue.waits.clear();
  fakes.workspace.bundleIds.erase(kAppPath);
  choose(kAppPath, "");
  view->startTrace();
  EXPECT_EQ(fakes.mainQueue.waits, std::vector<double>{0.15});
  EXPECT_EQ(events().front(), "INFO SESSION Launch trace started for X");
}

// A stream blind to forks says after the launch that helpers' lines may be
// missed, and a scope does not change that: only why.
TEST_F(ContentViewTest, AStreamBlindToForksSaysHelpersLinesMayBeMissed) {
  for (const std::string unit : {"", "app-x.scope"}) {
    choose();
    view->startTrace();
    fakes.logStreams.lastProcess()->blindToForks = true;
    fakes.workspace.opens.back().options.spawned(LaunchedProcess{4242, unit});
    fakes.workspace.completeWithPid(4242);
    fakes.mainQueue.runAll();
    EXPECT_EQ(events().back(), "WARN LOG Journal lines of helpers that live only milliseconds may be missed: this "
                               "user cannot see the kernel's fork events" +
                                   std::string(unit.empty() ? " and no user manager runs X in a scope of its own" : ""));
    view->stopTrace(false);
  }
}

// A launch that fails records the trace and tears it down; an error wins
// over an application handed back with it.
TEST_F(ContentViewTest, LaunchFailuresRecordTheTraceAndTearItDown) {
  const struct {
    std::optional<std::string> error;
    bool withApplication;
    const char* event;
  } cases[] = {
      {"No such file or directory", true, "ERROR LAUNCH Launch failed: No such file or directory"},
      {std::nullopt, false, "ERROR LAUNCH No running application was returned"}};
  for (const auto& c : cases) {
    choose();
    view->setFreshLaunch(false);
    view->startTrace();
    auto process = fakes.logStreams.lastProcess();
    fakes.workspace.opens.back().completion(c.error, c.withApplication ? std::make_shared<FakeRunningApplication>(7)
                                                                       : nullptr);
    fakes.mainQueue.runAll();
    const Strings expected{"INFO SESSION Launch trace started for X", "INFO LOG Unified log stream armed for process X",
                           c.event};
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(status(), "Launch failed");
    EXPECT_EQ(process->terminateCalls, 1);
    EXPECT_EQ(fakes.workspace.activeObservers(), 0u);
    EXPECT_EQ(describe(view->sessions().at(0).events), expected) << "the finished trace stays on screen";
    EXPECT_EQ(view->sessions()[0].outcome.kind, TraceOutcome::Kind::launchFailed);
    EXPECT_EQ(view->selectedSessionID(), view->sessions()[0].id) << "selected, but not viewed";
  }
}

TEST_F(ContentViewTest, WithoutAJournalTheTargetsOwnOutputBecomesEvents) {
  choose();
  fakes.logStreams.succeed = false;
  view->setFreshLaunch(false);
  view->startTrace();
  EXPECT_EQ(events(), (Strings{"INFO SESSION Launch trace started for X",
                               "WARN LOG Could not arm unified log stream: the systemd journal is not running"}));
  EXPECT_TRUE(fakes.mainQueue.waits.empty()) << "no wait when the stream did not start";
  ASSERT_EQ(fakes.workspace.opens.size(), 1u) << "the launch proceeds";
  ASSERT_TRUE(fakes.workspace.opens[0].options.output);
  EXPECT_FALSE(fakes.workspace.opens[0].options.stderrToJournal) << "no stream to read stderr back from";
  // What the target prints becomes events (with real programs: tests/cli, a
  // trace as a user who may not read the journal), posted from the reader.
  fakes.workspace.opens[0].options.output(LineBatch::of({"error: cannot open display"}));
  EXPECT_EQ(fakes.mainQueue.pending(), 1u);
  fakes.mainQueue.runAll();
  EXPECT_EQ(events().back(), "ERROR CONSOLE error: cannot open display");
}

// How the target ended, said before "terminated", and kept as the session's outcome.
TEST_F(ContentViewTest, TheTargetsEndIsSaidAndRecorded) {
  const struct {
    std::optional<ExitStatus> exit;
    std::optional<std::int32_t> handedOffTo;
    const char* said;  // before "terminated", or nothing
    TraceOutcome outcome;
  } cases[] = {
      {ExitStatus{true, 11}, std::nullopt, "ERROR CRASH X crashed: killed by signal 11 (SIGSEGV)",
       {TraceOutcome::Kind::crashed, 11}},
      {ExitStatus{true, 9}, std::nullopt, "ERROR PROCESS X was killed by signal 9 (SIGKILL)",
       {TraceOutcome::Kind::killed, 9}},
      {ExitStatus{false, 1}, std::nullopt, "WARN PROCESS X exited with status 1", {TraceOutcome::Kind::exited, 1}},
      {ExitStatus{false, 0}, std::nullopt, nullptr, {TraceOutcome::Kind::exited, 0}},
      {std::nullopt, std::nullopt, nullptr, {TraceOutcome::Kind::exited, 0}},
      {ExitStatus{false, 0}, 77, "WARN PROCESS X handed the launch to its running instance, PID 77",
       {TraceOutcome::Kind::handedOff, 77}},
  };
  std::int32_t pid = 10;
  for (const auto& c : cases) {
    startTracing(++pid);
    auto process = fakes.logStreams.lastProcess();
    fakes.workspace.terminate(999);                    // another process
    fakes.workspace.notify(TerminationNotification{});  // no application in it
    EXPECT_EQ(status(), "Tracing PID " + std::to_string(pid));
    fakes.workspace.notify({std::make_shared<FakeRunningApplication>(pid), c.exit, c.handedOffTo});
    const Strings ended = events();
    EXPECT_EQ(ended.back(), "INFO PROCESS X terminated");
    EXPECT_EQ(ended.at(ended.size() - 2), c.said ? c.said : std::string("INFO PATH ") + kAppPath);
    EXPECT_EQ(status(), "Process ended");
    EXPECT_EQ(fakes.workspace.activeObservers(), 0u);
    EXPECT_EQ(process->terminateCalls, 1);
    EXPECT_EQ(describe(view->sessions().at(0).events), ended);
    EXPECT_EQ(view->sessions()[0].outcome, c.outcome);
  }
  // A later stop keeps "Process ended" and adds nothing.
  view->stopTrace(true);
  EXPECT_EQ(status(), "Process ended");
  EXPECT_EQ(events().back(), "INFO PROCESS X terminated");
  EXPECT_EQ(view->sessions().size(), std::size(cases));
}

TEST_F(ContentViewTest, AnExitWaitsForTheLogStreamsLastLines) {
  // The journal hands a target's lines on late: its exit is reported only once
  // the stream has gone quiet, so the last words land before "terminated" and
  // inside the recorded session.
  startTracing(7);
  auto process = fakes.logStreams.lastProcess();
  process->holdQuiet = true;
  fakes.workspace.terminate(7, ExitStatus{true, 11});
  EXPECT_EQ(status(), "Tracing PID 7");
  pushLog({"error: could not map the framebuffer"});
  EXPECT_TRUE(view->sessions().empty());
  process->releaseQuiet();
  fakes.mainQueue.runAll();
  const Strings ended = events();
  EXPECT_EQ(Strings(ended.end() - 3, ended.end()),
            (Strings{"ERROR CONSOLE error: could not map the framebuffer",
                     "ERROR CRASH X crashed: killed by signal 11 (SIGSEGV)", "INFO PROCESS X terminated"}));
  ASSERT_EQ(view->sessions().size(), 1u);
  EXPECT_EQ(describe(view->sessions()[0].events), ended);

  // Stop pressed while the last lines are awaited ends the trace as the exit
  // it is, without a "Trace stopped"; a late quiet callback changes nothing,
  // not even for the next trace awaiting its own last lines.
  startTracing(8);
  auto second = fakes.logStreams.lastProcess();
  second->holdQuiet = true;
  fakes.workspace.terminate(8, ExitStatus{false, 0});
  view->stopTrace(true);
  EXPECT_EQ(events().back(), "INFO PROCESS X terminated");
  EXPECT_EQ(status(), "Process ended");
  startTracing(9);
  fakes.logStreams.lastProcess()->holdQuiet = true;
  fakes.workspace.terminate(9, ExitStatus{false, 0});
  second->releaseQuiet();
  fakes.mainQueue.runAll();
  EXPECT_EQ(view->sessions().size(), 2u);
  EXPECT_EQ(status(), "Tracing PID 9");
}

TEST_F(ContentViewTest, StopEndsTheTraceButNotTheTarget) {
  choose();
  view->startTrace();
  auto target = std::make_shared<FakeRunningApplication>(4242);
  fakes.workspace.opens.back().completion(std::nullopt, target);
  fakes.mainQueue.runAll();
  auto process = fakes.logStreams.lastProcess();
  view->stopTrace(true);
  EXPECT_EQ(view->sessions().at(0).outcome.kind, TraceOutcome::Kind::stopped);
  EXPECT_EQ(process->terminateCalls, 1);
  EXPECT_EQ(target->terminateCalls, 0) << "the target itself is not asked to quit";
  EXPECT_EQ(fakes.workspace.activeObservers(), 0u);
  // The target goes on printing; it is read, but the stopped trace takes none
  // of it, and a second stop adds nothing either.
  const auto shown = view->events().size();
  fakes.workspace.opens.at(0).options.output(LineBatch::of({"printed after the stop"}));
  fakes.mainQueue.runAll();
  view->stopTrace(true);
  EXPECT_EQ(view->events().size(), shown);
  EXPECT_EQ(view->sessions().size(), 1u);

  // A log child that has already exited is not asked to terminate.
  startTracing();
  auto exited = fakes.logStreams.lastProcess();
  exited->running = false;
  view->stopTrace(false);
  EXPECT_EQ(exited->terminateCalls, 0);
  EXPECT_EQ(view->sessions().size(), 1u) << "stopTrace(false) records nothing";
}

TEST_F(ContentViewTest, ALogStreamThatDiesMidTraceSaysSoAfterItsLastLines) {
  startTracing(5);
  auto process = fakes.logStreams.lastProcess();
  pushLog({"Failed to open the journal: Permission denied"});
  process->endUnexpectedly("journalctl exited with status 1");
  fakes.mainQueue.runAll();
  const Strings ended = events();
  EXPECT_EQ(Strings(ended.end() - 2, ended.end()),
            (Strings{"ERROR PERMISSION Failed to open the journal: Permission denied",
                     "WARN LOG Unified log stream ended unexpectedly: journalctl exited with status 1"}));
  // The trace still watches its target, and ends as usual (tests/platform).

  // An end that arrives after its trace stopped, or from an older stream
  // once a newer one runs, says nothing.
  startTracing(6);
  auto stopped = fakes.logStreams.lastProcess();
  view->stopTrace(true);
  stopped->endUnexpectedly("journalctl was killed by signal 9 (SIGKILL)");
  fakes.mainQueue.runAll();
  EXPECT_EQ(events().back(), "INFO SESSION Trace stopped");
  startTracing(7);
  auto older = fakes.logStreams.lastProcess();
  startTracing(8);
  older->endUnexpectedly("journalctl exited with status 1");
  fakes.mainQueue.runAll();
  for (const auto& event : events()) EXPECT_EQ(event.find("ended unexpectedly"), std::string::npos) << event;
}

TEST_F(ContentViewTest, LaunchCompletionsAfterAStopOrANewerStart) {
  // After a plain stop, the completion is applied in full and the trace ends as usual.
  choose();
  view->startTrace();
  view->stopTrace(true);
  fakes.workspace.completeWithPid(77);
  fakes.mainQueue.runAll();
  EXPECT_EQ(events().at(events().size() - 2), "OK PROCESS X launched with PID 77");
  EXPECT_EQ(status(), "Tracing PID 77");
  EXPECT_FALSE(view->isTracing());
  fakes.workspace.terminate(77);
  EXPECT_EQ(events().back(), "INFO PROCESS X terminated");
  EXPECT_EQ(view->sessions().size(), 2u);
  EXPECT_EQ(fakes.workspace.activeObservers(), 0u);

  // A superseded start's completion, during the newer start's wait or after
  // it, is ignored.
  view->startTrace();
  fakes.mainQueue.onWait = [&](double) { if (fakes.workspace.opens.size() == 2) fakes.workspace.completeWithPid(1); };
  view->startTrace();
  fakes.mainQueue.onWait = nullptr;
  ASSERT_EQ(fakes.workspace.opens.size(), 3u);
  EXPECT_EQ(status(), kArming);
  fakes.workspace.opens.at(1).completion("stale", nullptr);
  fakes.mainQueue.runAll();
  EXPECT_EQ(events(), (Strings{"INFO SESSION Launch trace started for X",
                               "INFO LOG Unified log stream armed for process X"}));
  EXPECT_TRUE(view->isTracing());
  EXPECT_EQ(view->sessions().size(), 2u);
  fakes.workspace.completeWithPid(2, 2);
  fakes.mainQueue.runAll();
  EXPECT_EQ(status(), "Tracing PID 2");
  EXPECT_EQ(fakes.workspace.activeObservers(), 1u);
}

TEST_F(ContentViewTest, LateBatchesOfAStoppedStreamStayWithTheirTraceOnly) {
  startTracing();
  LineBatchSink oldSink = fakes.logStreams.lastSink();
  view->stopTrace(true);
  oldSink(LineBatch::of({"error: after stop"}));
  fakes.mainQueue.runAll();
  EXPECT_EQ(events().back(), "ERROR CONSOLE error: after stop") << "still the trace on screen";
  EXPECT_EQ(describe(view->sessions()[0].events).back(), "INFO SESSION Trace stopped") << "the session is a snapshot";

  // A batch posted before a new start, delivered after it, is dropped.
  oldSink(LineBatch::of({"error: posted before the start"}));
  view->startTrace();
  oldSink(LineBatch::of({"error: after the new start"}));
  fakes.mainQueue.runAll();
  for (const auto& event : events()) EXPECT_EQ(event.find("error: "), std::string::npos) << event;

  // Opening a saved session and clearing drop them too.
  LineBatchSink secondSink = fakes.logStreams.lastSink();
  view->openSavedSession(view->sessions()[0]);
  const auto shown = events();
  secondSink(LineBatch::of({"error: into a saved session"}));
  fakes.mainQueue.runAll();
  EXPECT_EQ(events(), shown);
  view->clearTraceView();
  secondSink(LineBatch::of({"error: into a cleared view"}));
  fakes.mainQueue.runAll();
  EXPECT_TRUE(view->events().empty());
}

TEST_F(ContentViewTest, DestroyingTheViewWithWorkStillQueuedIsSafe) {
  startTracing(50);
  LineBatchSink sink = fakes.logStreams.lastSink();
  view->startTrace();  // a second start so a completion is pending
  sink(LineBatch::of({"error: late"}));
  fakes.workspace.completeWithPid(51);
  LineBatchSink liveSink = fakes.logStreams.lastSink();
  auto liveProcess = fakes.logStreams.lastProcess();
  view.reset();
  EXPECT_EQ(liveProcess->terminateCalls, 1) << "closing the window ends the log stream";
  EXPECT_GT(fakes.mainQueue.pending(), 0u);
  std::thread reader([liveSink] { liveSink(LineBatch::of({"error: after close"})); });
  reader.join();
  EXPECT_NO_FATAL_FAILURE(fakes.mainQueue.runAll());
  fakes.workspace.terminate(51);
  EXPECT_EQ(fakes.workspace.activeObservers(), 0u);
}

// stdout reaches the trace in milliseconds, the journal some tenths of a
// second later: a line that arrives late is placed where it was written, and
// the change the views hear of says where (the window's rows: tests/ui).
TEST_F(ContentViewTest, ALateLineIsPlacedWhereItWasWritten) {
  startTracing();
  const double start = fakes.clock.current;
  fakes.clock.current = start + 10;
  fakes.logStreams.lastSink()(LineBatch::of({"Ready for work"}, {LineOrigin::standardOutput, LineInfo::kNoPriority,
                                                                  false, start + 5}));
  fakes.mainQueue.runAll();
  const std::size_t ready = view->events().size() - 1;
  const std::size_t rowsBefore = view->visibleRows().size();
  changes.clear();
  LineBatch late;
  late.add("x[4242]: Permission denied opening /etc/x.conf", LineInfo{LineOrigin::standardError, 6, false, start + 3});
  late.add("x[4242]: loading plugins", LineInfo{LineOrigin::journal, 7, false, start + 4});
  fakes.logStreams.lastSink()(std::move(late));
  fakes.mainQueue.runAll();
  const Strings all = events();
  EXPECT_EQ(Strings(all.end() - 3, all.end()),
            (Strings{"ERROR PERMISSION x[4242]: Permission denied opening /etc/x.conf",
                     "INFO CONSOLE x[4242]: loading plugins", "INFO CONSOLE Ready for work"}));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes[0].has(Change::eventsInserted) && changes[0].has(Change::visibleInserted));
  EXPECT_EQ(changes[0].firstChangedEvent, ready);
  EXPECT_EQ(changes[0].firstChangedRow, rowsBefore - 1);
  EXPECT_EQ(view->visibleRows().size(), rowsBefore + 1) << "the plugin line is routine noise";
}

TEST_F(ContentViewTest, ChoosingAnApplication) {
  view->startTrace();  // nothing chosen, the chooser cancelled: nothing changes
  EXPECT_EQ(status(), "Ready");
  EXPECT_FALSE(view->selectedAppURL());
  // With nothing chosen, Start only chooses.
  fakes.workspace.bundleIds["/usr/share/applications/My.Tool.desktop"] = "My.Tool";
  fakes.openPanel.answers.push_back("/usr/share/applications/My.Tool.desktop");
  view->startTrace();  // the chooser's own look: the real one in tests/gui
  EXPECT_EQ(view->selectedAppName(), "My.Tool");
  EXPECT_EQ(view->selectedAppURL(), "/usr/share/applications/My.Tool.desktop");
  EXPECT_EQ(status(), "Ready to trace My.Tool");
  view->chooseApplication();  // cancelled
  EXPECT_EQ(status(), "Ready to trace My.Tool");
  EXPECT_TRUE(fakes.workspace.opens.empty() && fakes.logStreams.starts.empty()) << "choosing launches nothing";

  // Chosen while tracing: the trace goes on, later messages use the new name.
  choose(kAppPath);
  startTracing();
  choose("/opt/bin/other", "");
  EXPECT_TRUE(view->isTracing());
  EXPECT_EQ(status(), "Ready to trace other");
  fakes.workspace.terminate(4242);
  EXPECT_EQ(events().back(), "INFO PROCESS other terminated");
  EXPECT_EQ(view->sessions()[0].appURL, "/opt/bin/other");
  EXPECT_EQ(view->summaryText().find("Bundle ID:"), std::string::npos) << "the new target has no identifier";
}

// ---------------------------------------------------------------- the history

TEST_F(ContentViewTest, CopiesPutTheVisibleListOrTheSelectedEventOnThePasteboard) {
  startTracing();
  view->copySelectedEvent();  // nothing selected: nothing at all happens
  EXPECT_EQ(fakes.pasteboard.writes, 0);
  EXPECT_EQ(status(), "Tracing PID 4242");
  pushLog({"routine chatter", "warning: low disk"});
  view->copySummary();
  EXPECT_EQ(status(), "Summary copied");
  ASSERT_TRUE(fakes.pasteboard.contents);
  const std::string copied = *fakes.pasteboard.contents;
  EXPECT_EQ(copied, view->summaryText());
  EXPECT_TRUE(copied.ends_with("] [WARN] [CONSOLE] warning: low disk")) << copied;
  EXPECT_EQ(copied.find("chatter"), std::string::npos);
  EXPECT_TRUE(view->isTracing()) << "copying does not touch the trace";

  // The selected event is found even when the filter hides it.
  const Uuid warningId = *view->events()[view->events().size() - 1].id;
  view->selectEvent(warningId);
  view->setSearchText("something else entirely");
  view->copySelectedEvent();
  EXPECT_EQ(status(), "Event copied");
  EXPECT_TRUE(fakes.pasteboard.contents->ends_with("] [WARN] [CONSOLE]\nwarning: low disk"));
  // A selection whose event is gone (the view was cleared) copies nothing.
  view->clearTraceView();
  view->selectEvent(warningId);
  view->copySelectedEvent();
  EXPECT_EQ(fakes.pasteboard.writes, 2);
  EXPECT_EQ(status(), "Ready");
}

TEST_F(ContentViewTest, OpeningTheOldestOfEightWhileTracing) {
  for (int i = 0; i < 8; ++i) {
    choose("/opt/apps/App" + std::to_string(i) + ".desktop", "org.example.App" + std::to_string(i));
    startTracing(200 + i);
    view->stopTrace(true);
  }
  choose();
  startTracing(300);
  pushLog({"error: running trace"});
  // The card holds a reference into the history: the recording of the running
  // trace drops that very entry.
  const LaunchSession& oldest = view->sessions().back();
  const Uuid oldestId = oldest.id;
  const Strings oldestEvents = describe(oldest.events);
  fakes.workspace.bundleIds.erase("/opt/apps/App0.desktop");  // the application is gone since
  view->openSavedSession(oldest);
  ASSERT_EQ(view->sessions().size(), 8u);
  const Strings newest = describe(view->sessions().front().events);
  EXPECT_EQ(newest.at(4), "ERROR CONSOLE error: running trace") << "newest first";
  EXPECT_EQ(newest.back(), "INFO SESSION Trace stopped");
  for (const auto& session : view->sessions()) EXPECT_NE(session.id, oldestId);
  EXPECT_EQ(events(), oldestEvents);
  EXPECT_EQ(view->selectedSessionID(), oldestId) << "selected, yet no card shows it";
  EXPECT_TRUE(view->viewingSavedSession());
  EXPECT_EQ(status(), "Viewing saved session");
  EXPECT_EQ(view->selectedAppName(), "App0");
  EXPECT_EQ(view->selectedAppURL(), "/opt/apps/App0.desktop");
  EXPECT_EQ(view->summaryText().find("Bundle ID:"), std::string::npos);
}

TEST_F(ContentViewTest, BrowsingSavedSessionsAndClearingTheHistory) {
  startTracing();
  pushLog({"error: first trace"});
  view->stopTrace(true);
  view->selectEvent(*view->events()[0].id);
  view->setSearchText("first");
  // Live: clearing the history leaves the list and the search.
  const LaunchSession saved = view->sessions()[0];
  const Strings live = events();
  view->clearHistory();
  EXPECT_TRUE(view->sessions().empty());
  EXPECT_FALSE(view->selectedSessionID());
  EXPECT_EQ(events(), live);
  EXPECT_EQ(view->searchText(), "first");
  // Opened, a saved session starts unfiltered and unselected.
  view->openSavedSession(saved);
  EXPECT_EQ(view->searchText(), "");
  EXPECT_FALSE(view->selectedEventID());
  EXPECT_NE(view->summaryText().find("\nBundle ID: org.example.X\n"), std::string::npos);
  // A choice while viewing keeps the saved session on screen.
  choose("/opt/bin/other", "");
  EXPECT_TRUE(view->viewingSavedSession());
  EXPECT_EQ(events(), describe(saved.events));
  view->returnToCurrentTrace();
  EXPECT_TRUE(view->events().empty());
  EXPECT_FALSE(view->viewingSavedSession() || view->selectedSessionID());
  EXPECT_EQ(status(), "Ready");
  EXPECT_EQ(view->selectedAppName(), "other");

  // A start from a saved session returns to the live view.
  view->openSavedSession(saved);
  startTracing();
  EXPECT_FALSE(view->viewingSavedSession() || view->selectedSessionID());
  EXPECT_EQ(events().front(), "INFO SESSION Launch trace started for X");
  // Clear while tracing records first; clearing the history while viewing a
  // saved session empties the view too; a running trace is left alone.
  view->clearTraceView();
  EXPECT_EQ(describe(view->sessions().at(0).events).back(), "INFO SESSION Trace stopped");
  EXPECT_TRUE(view->events().empty());
  EXPECT_FALSE(view->isTracing());
  view->openSavedSession(view->sessions()[0]);
  view->clearHistory();
  EXPECT_TRUE(view->sessions().empty() && view->events().empty());
  EXPECT_FALSE(view->viewingSavedSession());
  EXPECT_EQ(status(), "Ready");
  startTracing();
  view->clearHistory();
  EXPECT_TRUE(view->isTracing());
  EXPECT_FALSE(view->events().empty());
}

}  // namespace
}  // namespace mf::testing
