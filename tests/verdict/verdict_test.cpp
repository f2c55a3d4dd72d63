// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict's rule table, a row per rule and per way a rule must pass:
// the events of a trace as the trace and its roads word them, and the one
// sentence they answer with.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "verdict/verdict.h"

namespace mf {
namespace {

using Kind = Verdict::Kind;
constexpr auto kTrace = LineOrigin::trace;
constexpr auto kJournal = LineOrigin::journal;
constexpr auto kStderr = LineOrigin::standardError;

struct Line {
  double at;  // seconds after the trace began
  EventType type;
  std::string source;
  std::string message;
  LineOrigin origin;
  bool noise = false;
};

struct Row {
  std::string name;
  std::vector<Line> lines;
  Kind kind;
  std::string text;
  std::optional<std::size_t> restsOn;
  friend void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
};

Line launched(double at = 0.1) { return {at, EventType::success, "PROCESS", "app launched with PID 100", kTrace}; }
Line terminated(double at) { return {at, EventType::info, "PROCESS", "app terminated", kTrace}; }
Line status(double at, int code) {
  return {at, EventType::warning, "PROCESS", "app exited with status " + std::to_string(code), kTrace};
}
Line signal(double at, std::string text) { return {at, EventType::error, "CRASH", "app " + text, kTrace}; }
Line kernel(double at, std::string text) { return {at, EventType::error, "CRASH", "kernel: " + text, kJournal}; }
Line said(double at, EventType type, std::string text, LineOrigin origin = kStderr) {
  return {at, type, "CONSOLE", "app[100]: " + text, origin};
}

const std::vector<Row> kRows = {
    {"CrashLocatedByTheKernel",
     {launched(), kernel(0.59, "app[100] crashed in compute_widget_size (c_null.c:5), app+0x1139: segfault at 0"),
      signal(0.6, "crashed: killed by signal 11 (SIGSEGV)"), terminated(0.6)},
     Kind::crashed, "Crashed in compute_widget_size (c_null.c:5): segfault at 0, 0.49 s after launch", 1},
    {"CrashWithOnlyAFileAndOffset",
     {launched(), kernel(0.2, "app[100] crashed, libfoo.so.1+0x1139: general protection fault"),
      signal(0.3, "crashed: killed by signal 11 (SIGSEGV)")},
     Kind::crashed, "Crashed in libfoo.so.1+0x1139: general protection fault, 0.10 s after launch", 1},
    {"CrashOfTheHelperWhoseDeathEndedIt",
     {launched(), kernel(1.0, "worker[101] crashed in parse (p.c:9): segfault at 8"), status(1.2, 139)},
     Kind::crashed, "worker[101] crashed in parse (p.c:9): segfault at 8, 0.90 s after launch", 1},
    {"HelperCrashLongBeforeTheEndIsNotTheCause",
     {launched(), kernel(1.0, "worker[101] crashed in parse (p.c:9): segfault at 8"),
      said(20, EventType::error, "cannot open config.ini: No such file or directory"), status(20.1, 1)},
     Kind::abnormalEnd, "Exited with status 1 after: cannot open config.ini: No such file or directory", 2},
    {"OutOfMemoryKill",
     {launched(), kernel(1.1, "app[100] crashed: the kernel's out-of-memory killer ended it because its memory "
                              "cgroup reached its limit (total-vm:1000kB, anon-rss:900kB)"),
      signal(1.2, "was killed by signal 9 (SIGKILL)")},
     Kind::outOfMemory,
     "Killed by the kernel's out-of-memory killer because its memory cgroup reached its limit "
     "(total-vm:1000kB, anon-rss:900kB), 1.00 s after launch",
     1},
    {"DenialShortlyBeforeAnAbnormalEnd",
     {launched(), kernel(0.5, "app[100] permission denied by AppArmor: open /etc/shadow (requested r)"),
      said(0.55, EventType::error, "Permission denied"), status(0.6, 1)},
     Kind::denied, "Exited with status 1, 0.10 s after app was denied by AppArmor: open /etc/shadow (requested r)", 1},
    {"LoaderMessageBeforeStatus127",
     {launched(),
      said(0.2, EventType::error,
           "./app: error while loading shared libraries: libfoo.so.1: cannot open shared object file: No such file "
           "or directory"),
      status(0.3, 127)},
     Kind::abnormalEnd,
     "Exited with status 127 after: error while loading shared libraries: libfoo.so.1: cannot open shared object "
     "file: No such file or directory",
     1},
    {"QtsDisplayLineWinsOverItsPluginMessagesAndALaterError",
     {launched(), said(0.19, EventType::warning, "qt.qpa.xcb: could not connect to display", kJournal),
      said(0.2, EventType::info,
           "This application failed to start because no Qt platform plugin could be initialized.", kJournal),
      said(0.21, EventType::error, "Fontconfig error: cannot load default config file"),
      signal(0.3, "crashed: killed by signal 6 (SIGABRT)")},
     Kind::abnormalEnd,
     "Killed by signal 6 (SIGABRT) after: qt.qpa.xcb: could not connect to display",
     1},
    {"LastErrorBeforeAnExit",
     {launched(), said(0.2, EventType::error, "first problem"),
      said(0.3, EventType::error, "cannot open /nonexistent/settings.ini"),
      {0.35, EventType::error, "CONSOLE", "Gtk-Message: routine", kJournal, true}, status(0.4, 1)},
     Kind::abnormalEnd, "Exited with status 1 after: cannot open /nonexistent/settings.ini", 2},
    {"AbnormalEndWithNothingWritten",
     {launched(), said(0.2, EventType::info, "starting"), status(0.3, 3)},
     Kind::abnormalEnd, "Exited with status 3; nothing written before it says why", 2},
    {"LaunchFailed",
     {{0.1, EventType::error, "LAUNCH", "Launch failed: /tmp/app: Permission denied", kTrace}},
     Kind::launchFailed, "Launch failed: /tmp/app: Permission denied", 0},
    {"HandedOff",
     {launched(), {0.5, EventType::warning, "PROCESS", "app handed the launch to its running instance, PID 77", kTrace},
      terminated(0.5)},
     Kind::handedOff, "Handed off to its running instance (PID 77), whose lines this trace does not hold", 1},
    {"NoFailureCountsAndQuotesTheFirstError",
     {launched(), said(0.2, EventType::warning, "deprecated option", kJournal),
      said(0.3, EventType::error, "open(/var/lib/app/secret.key): Permission denied", kJournal),
      said(0.4, EventType::error, "retry failed", kJournal), terminated(0.5)},
     Kind::noFailure, "No failure: 2 errors, 1 warning; first: open(/var/lib/app/secret.key): Permission denied", 2},
    {"CleanWhateverTheNoise",
     {launched(), {0.2, EventType::error, "CONSOLE", "Gtk-Message: noise", kJournal, true}, terminated(0.5)},
     Kind::clean, "Clean: no errors or warnings", std::nullopt},
    {"KernelLinesAboutOthersAreNoCause",
     {launched(), kernel(0.2, "usb 1-1: new high-speed USB device number 2"), terminated(0.5)},
     Kind::noFailure, "No failure: 1 error; first: usb 1-1: new high-speed USB device number 2", 1},
};

class VerdictRule : public testing::TestWithParam<Row> {};

TEST_P(VerdictRule, AnswersWithTheTracesOwnCause) {
  const Row& row = GetParam();
  EventList events;
  for (const auto& line : row.lines) {
    events.append(Uuid{}, 1000 + line.at, line.type, line.source, line.message, line.noise, line.origin);
  }
  const Verdict verdict = judgeTrace(events);
  EXPECT_EQ(verdict.text, row.text);
  EXPECT_EQ(verdict.kind, row.kind) << verdictKindName(verdict.kind);
  EXPECT_EQ(verdict.event, row.restsOn);
}

INSTANTIATE_TEST_SUITE_P(Table, VerdictRule, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace mf
