// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-cli trace, run as a real process against the demo target.

#include <gtest/gtest.h>

#include <sstream>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "journal_fixture.h"
#include "platform/spawn.h"
#include "platform_test_support.h"
#include "support/cases.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

// Runs `marrowfield-cli trace ARGS` on a pseudo-terminal, as a person runs
// it; `whileRunning` is called with its pid and the output so far until it
// returns true, for tests that act on a live trace.
testing::Ran runCli(std::vector<std::string> args, const std::function<bool(pid_t, const std::string&)>& whileRunning = {}) {
  args.insert(args.begin(), {MARROWFIELD_CLI_PATH, "trace"});
  return testing::runProgram(args, {}, whileRunning, true);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The pid in the first "launched with PID <n>" line, once that line is whole; 0 before.
pid_t launchedPid(const std::string& out) {
  const auto at = out.find("launched with PID ");
  return at == std::string::npos || out.find('\n', at) == std::string::npos ? 0 : std::stoi(out.substr(at + 18));
}

const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                            MARROWFIELD_CLI_PATH, "trace"};

class CliTraceTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
};

TEST_F(CliTraceTest, PrintsEventsAsTheyComeThenTheSummaryAndFailsOnErrors) {
  const auto demo = testing::demoEntry(dir, "");
  const testing::Ran run = runCli({demo.entry});
  EXPECT_EQ(run.status, 1) << run.output;  // the demo's story has errors
  const std::string header = "\nMarrowfield Diagnostic Summary\nApp: " + demo.name + "\nPath: " + demo.entry +
                             "\nBundle ID: " + demo.name + "\nMode: Actionable\n\n";
  const auto split = run.output.find(header);
  ASSERT_NE(split, std::string::npos) << run.output;
  // Everything the list shows was printed as it came (in the summary's form,
  // the export's), in the order it was written, as the summary has it: the
  // demo's journal lines come after its stdout lines, but were written first.
  // The verdict's line comes just before the summary.
  const auto verdict = run.output.rfind("\nVerdict: ", split);
  ASSERT_NE(verdict, std::string::npos) << run.output;
  EXPECT_EQ(run.output.find('\n', verdict + 1) + 1, split) << run.output;
  const auto streamed = linesOf(run.output.substr(0, verdict));
  const auto summarised = linesOf(run.output.substr(split + header.size()));
  EXPECT_EQ(streamed, summarised);
  for (const std::string& line : {"] [INFO] [SESSION] Launch trace started for " + demo.name + "\n",
                                  std::string("] [ERROR] [PERMISSION] "), "] [INFO] [PROCESS] " + demo.name + " terminated\n",
                                  std::string("] [INFO] [CONSOLE] Ready for work\n")}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line;
  }
  // The raw log and a search widen or narrow the same list.
  const testing::Ran searched = runCli({testing::demoEntry(dir, "").entry, "--raw", "--search", "SETTINGS.CONF"});
  EXPECT_EQ(searched.status, 0) << searched.output;  // the one match is not an error
  EXPECT_NE(searched.output.find("[INFO] [FILE] "), std::string::npos);
  EXPECT_EQ(searched.output.find("[SESSION]"), std::string::npos);
  EXPECT_NE(searched.output.find("\nMode: Raw Log\n"), std::string::npos);
}

// What the command line promises reaches the target: its arguments and
// variables, the Qt level pattern unless switched off, and a running
// instance left alone without Fresh Launch.
TEST_F(CliTraceTest, OptionsReachTheTargetAndFreshLaunchCanBeSwitchedOff) {
  const auto target = dir.write("optioned",
                                "#!/bin/sh\n[ \"$1\" = --stay ] && while :; do sleep 0.2; done >/dev/null 2>&1\n"
                                "echo \"foo: ${FOO:-unset} pattern: ${QT_MESSAGE_PATTERN:-none} args: $*\"\n", true);
  os::SpawnRequest stay;
  stay.argv = {target.string(), "--stay"};
  const auto instance = os::spawnProcess(stay);
  ASSERT_GT(instance.pid, 0);
  const std::string quit = "Existing optioned instance terminated for fresh launch";
  const struct {
    std::vector<std::string> args;
    std::string said;
    bool quitsInstance;
  } cases[] = {
      {{"--no-fresh-launch", "--env", "FOO=a b", "--", "one", "two"}, "foo: a b pattern: %{if-debug}<7>", false},
      {{"--no-fresh-launch", "--no-qt-levels"}, "foo: unset pattern: none args:\n", false},
      {{}, "pattern: %{if-debug}<7>", true}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {target.string(), "--raw"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const testing::Ran run = runCli(args);
    EXPECT_NE(run.output.find(c.said), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(quit) != std::string::npos, c.quitsInstance) << run.output;
  }
  // Our own instance: the fresh launch ended it, or it is ended here.
  int status = 0;
  const bool ended = testing::waitFor([&] { return ::waitpid(instance.pid, &status, WNOHANG) == instance.pid; }, 10.0);
  if (!ended) ::kill(instance.pid, SIGKILL), ::waitpid(instance.pid, &status, 0);
  EXPECT_TRUE(ended && WIFSIGNALED(status)) << "the fresh launch did not ask the running instance to quit";
}

// A 64 MiB binary message at priority 3 from a child of the target: shown
// cut to 1 MiB with the size of what was cut, an error, so the trace fails.
TEST_F(CliTraceTest, AHugeBinaryMessageOfTheTreeIsShownCutAndFailsTheTrace) {
  const auto sender = testing::writeDemoDesktopEntry(dir, "big-sender", MARROWFIELD_JOURNAL_PROGRAM, "big").string();
  const testing::Ran run = runCli({sender, "--raw"});
  EXPECT_EQ(run.status, 1) << run.output.substr(0, 2000);
  const auto line = run.output.find("] [ERROR] ");
  ASSERT_NE(line, std::string::npos) << run.output.substr(0, 2000);
  EXPECT_NE(run.output.substr(line, 60).find("big-sender["), std::string::npos) << run.output.substr(line, 60);
  // The bytes hold newlines: the message goes on over continuation lines,
  // 1 MiB of bytes (each shown in a few at most) and what was cut: all but
  // the first MiB, less the byte of a character the bound would split.
  const auto cut = run.output.find(" bytes cut]\n", line);
  ASSERT_NE(cut, std::string::npos);
  const auto count = run.output.rfind(" \u2026 [", cut) + 6;
  EXPECT_EQ(run.output.substr(count, cut - count), std::to_string((std::size_t{64} << 20) - (std::size_t{1} << 20) + 1));
  EXPECT_LT(cut - line, std::size_t{8} << 20);
}

// --seconds and Ctrl-C stop the trace as "Stop" does: the summary, the
// target left running. SIGKILL runs no teardown: the target's writes to a
// terminal nobody reads must neither block nor kill it. Orphans come to this
// test process, so what the CLI left is seen to end (and reaped) here.
TEST_F(CliTraceTest, SecondsCtrlCOrAKillEndTheTraceAndLeaveTheTargetRunning) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const auto program = dir.path() / "talker";
  std::filesystem::copy_file(MARROWFIELD_STDOUT_PROGRAM, program);
  const auto talker = testing::writeDemoDesktopEntry(dir, "talker", program, "--print-forever").string();
  for (const int how : {0, SIGINT, SIGKILL}) {
    SCOPED_TRACE(how == 0 ? "--seconds" : strsignal(how));
    std::vector<std::string> args = {how == SIGKILL ? talker : testing::demoEntry(dir, "--stay").entry};
    if (how == 0) args.insert(args.end(), {"--seconds", "1"});
    const testing::Ran run = runCli(args, [&](pid_t cli, const std::string& out) {
      if (launchedPid(out) <= 0 || (how == SIGKILL && out.find("still alive 3") == std::string::npos)) return false;
      return how == 0 || ::kill(cli, how) == 0;
    });
    const pid_t target = launchedPid(run.output);
    ASSERT_GT(target, 0) << run.output;
    if (how == SIGKILL) {
      EXPECT_EQ(run.status, 128 + SIGKILL);
    } else {
      EXPECT_EQ(run.status, 1) << run.output;
      EXPECT_NE(run.output.find("[INFO] [SESSION] Trace stopped\n"), std::string::npos) << run.output;
      EXPECT_NE(run.output.find("\nMarrowfield Diagnostic Summary\n"), std::string::npos) << run.output;
    }
    EXPECT_TRUE(how == SIGKILL ? testing::keepsRunning(target) : testing::processExists(target));
    ::kill(target, SIGKILL);
    EXPECT_EQ(::waitpid(target, nullptr, 0), target);
  }
}

// As nobody, whom permissions stop (they do not stop root, who runs these
// tests) and who is in no group that may read the journal: a trace that
// cannot start exits with 2 and says why; one that starts says why it cannot
// follow the journal and still shows all the target writes, on both streams,
// including a last line without its newline while a child holds the terminal.
TEST_F(CliTraceTest, AsNobodyATraceSaysWhyItCannotStartOrFollowTheJournal) {
  ::chmod(dir.path().c_str(), 0755);
  dir.write("notes.txt", "hello");
  dir.write("link.desktop", "[Desktop Entry]\nType=Link\nURL=https://example.org\n");
  ::chmod(dir.write("locked.desktop", "[Desktop Entry]\nType=Application\nExec=/bin/true\n").c_str(), 0000);
  std::filesystem::create_directory(dir.path() / "private");
  dir.write("private/behind.desktop", "[Desktop Entry]\nType=Application\nExec=/bin/true\n");
  ::chmod((dir.path() / "private").c_str(), 0700);
  dir.write("speaks", "#!/bin/sh\necho 'said on stdout'\necho 'said on stderr' >&2\nsleep 3 &\nprintf 'first\\nunfinished'\n",
            true);
  // A field's words, apart by '|', with {dir} for the test's folder.
  const auto words = [&](const std::string& field) {
    std::vector<std::string> out;
    std::istringstream in(field);
    for (std::string word; std::getline(in, word, '|'); out.push_back(word))
      for (auto at = word.find("{dir}"); at != std::string::npos; at = word.find("{dir}")) word.replace(at, 5, dir.path().string());
    return out;
  };
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/as_nobody.tsv")) {
    auto argv = kAsNobody;
    for (const auto& word : words(c[0])) argv.push_back(word);
    const auto ran = testing::runProgram(argv);
    EXPECT_EQ(ran.status, std::stoi(c[1])) << ran.output;
    for (const auto& said : words(c[2])) EXPECT_NE(ran.output.find(said), std::string::npos) << said << "\n" << ran.output;
  }
}

// Outside text cannot drive the terminal, now or when a saved trace is read
// later: a journal message whose second line reads as an event, a lone CR
// that would hide the real line behind a forged one, and a control that
// would reorder what follows.
TEST_F(CliTraceTest, OutsideTextIsEscapedAndCannotPassForAnEvent) {
  const auto forger = dir.write("forger",
                                "#!/usr/bin/python3\n"
                                "import socket\n"
                                "s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
                                "s.connect('/run/systemd/journal/socket')\n"
                                "m = b'disk check\\r[03:00:00] [OK] hidden\\n[12:00:00] [ERROR] [CRASH] forged "
                                "\\xe2\\x80\\xaegnp.exe'\n"
                                "s.send(b'MESSAGE\\n' + len(m).to_bytes(8, 'little') + m + b'\\n')\n", true);
  const std::string shown =
      ": disk check\\x0d[03:00:00] [OK] hidden\n    [12:00:00] [ERROR] [CRASH] forged \\u202egnp.exe\n";
  const testing::Ran onTerminal = runCli({forger.string(), "--raw"});
  const auto throughPipe = testing::runProgram({MARROWFIELD_CLI_PATH, "trace", forger.string(), "--raw"});
  for (const std::string& out : {onTerminal.output, throughPipe.output}) {
    EXPECT_NE(out.find(shown), std::string::npos) << out;
    for (const auto& line : linesOf(out)) EXPECT_FALSE(line.starts_with("[12:00:00] [ERROR]")) << line;
  }
}

}  // namespace
}  // namespace mf
