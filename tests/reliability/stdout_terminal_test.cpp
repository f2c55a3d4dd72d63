// SPDX-License-Identifier: GPL-3.0-or-later
// The target's stdout through a pseudo-terminal, with real children: what a
// crashing program printed last, endless lines, programs that close stdout,
// leave a daemon holding it, read stdin, draw with escape sequences, and a
// tracer that is killed while its target keeps printing.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "journal_fixture.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "reliability_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using reliability::Window;
using testing::TempDir;
using testing::waitFor;

// A private copy of the program under a name of its own, and a desktop entry
// that runs it in `mode`.
std::string programEntry(const TempDir& dir, const std::string& name, const std::string& mode) {
  const auto program = dir.path() / name;
  std::filesystem::copy_file(MARROWFIELD_STDOUT_PROGRAM, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  return testing::writeDemoDesktopEntry(dir, name, program, mode).string();
}

bool ended(const Window& window) { return window.view.status().kind == TraceStatus::Kind::processEnded; }

struct Capture {
  const char* what;
  bool withJournal;
};

class PrintfBeforeACrash : public ::testing::TestWithParam<Capture> {};

// The lines that explain a crash are the last ones printed: stdio on a
// terminal flushes each, so they are in the trace, once, before the crash.
TEST_P(PrintfBeforeACrash, BothLinesArriveOnceAndBeforeTheCrashEvent) {
  TempDir dir;
  Window window(GetParam().withJournal ? JournalLogStreamLauncher::Options{} : reliability::withoutJournal());
  window.choose(programEntry(dir, "crasher", "--printf-then-crash"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return ended(window); })) << window.dump();
  const auto crash = window.indexOf("crasher crashed: killed by signal 11 (SIGSEGV)");
  ASSERT_LT(crash, window.view.events().size()) << window.dump();
  for (const char* line : {"last words before the crash (1 of 2)", "last words before the crash (2 of 2)"}) {
    EXPECT_EQ(window.count(line), 1u) << line << "\n" << window.dump();
    EXPECT_LT(window.indexOf(line), crash) << window.dump();
    EXPECT_EQ(window.find(line)->origin, LineOrigin::standardOutput);
  }
  EXPECT_TRUE(window.find("about to dereference a null pointer")) << window.dump();
  EXPECT_EQ(window.find("about to dereference a null pointer")->origin, LineOrigin::standardError);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutTheJournal, PrintfBeforeACrash,
                         ::testing::Values(Capture{"journal", true}, Capture{"direct", false}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(StdoutTerminal, TheTargetSeesATerminalOnStdoutAndNotOnStderr) {
  TempDir dir;
  Window window;
  window.choose(programEntry(dir, "asker", "--isatty"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return ended(window) && window.find("is a terminal"); })) << window.dump();
  EXPECT_TRUE(window.find("stdout is a terminal: yes, stderr is a terminal: no")) << window.dump();
}

TEST(StdoutTerminal, AnEndlessLineComesInBoundedPiecesAndNothingIsLost) {
  TempDir dir;
  Window window;
  constexpr std::size_t kBytes = std::size_t{16} << 20;
  window.choose(programEntry(dir, "longline", "--long-line " + std::to_string(kBytes)));
  window.view.startTrace();
  std::size_t bytes = 0;
  ASSERT_TRUE(window.runUntil(
      [&] {
        if (!ended(window)) return false;
        bytes = 0;
        for (std::size_t i = 0; i < window.view.events().size(); ++i) {
          const auto event = window.view.events()[i];
          if (event.origin == LineOrigin::standardOutput) bytes += event.message.size();
        }
        return bytes == kBytes;
      },
      60))
      << bytes << " of " << kBytes << " bytes";
  for (std::size_t i = 0; i < window.view.events().size(); ++i) {
    EXPECT_LE(window.view.events()[i].message.size(), std::size_t{1} << 20);
  }
}

TEST(StdoutTerminal, ClosingStdoutEarlyOrReadingStdinEndsNormally) {
  TempDir dir;
  Window window;
  window.choose(programEntry(dir, "closer", "--close-stdout"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return ended(window) && window.find("ending normally"); })) << window.dump();
  EXPECT_TRUE(window.find("a line before stdout is closed"));
  EXPECT_FALSE(window.find("crashed")) << window.dump();
  EXPECT_FALSE(window.find("exited with status")) << window.dump();

  window.choose(programEntry(dir, "reader", "--read-stdin"));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return ended(window) && window.find("stdin ended"); })) << window.dump();
  EXPECT_TRUE(window.find("stdin ended after 0 bytes")) << window.dump();
}

TEST(StdoutTerminal, ADaemonKeepingTheTerminalDoesNotHoldTheTraceAndIsNotBlocked) {
  TempDir dir;
  Window window;
  window.choose(programEntry(dir, "daemonizer", "--daemon-grandchild"));
  window.view.startTrace();
  // The trace ends with the target, while the daemon still prints.
  ASSERT_TRUE(window.runUntil([&] { return ended(window); })) << window.dump();
  EXPECT_FALSE(window.find("daemon still printing (20 of 20)")) << "the trace waited for the daemon";
  // Its lines are still read, so it runs to its end.
  EXPECT_TRUE(window.runUntil([&] { return window.find("daemon still printing (20 of 20)").has_value(); }))
      << window.dump();
}

TEST(StdoutTerminal, EscapeSequencesAndProgressBarsReadAsText) {
  TempDir dir;
  Window window;
  constexpr int kLines = 2000;
  window.choose(programEntry(dir, "painter", "--escapes " + std::to_string(kLines)));
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return ended(window) && window.find("escapes finished"); }, 60))
      << window.dump();
  std::size_t done = 0;
  for (std::size_t i = 0; i < window.view.events().size(); ++i) {
    const auto message = window.view.events()[i].message;
    EXPECT_EQ(message.find('\x1b'), std::string_view::npos) << message;
    EXPECT_EQ(message.find('\x07'), std::string_view::npos) << message;
    EXPECT_EQ(message.find('\r'), std::string_view::npos) << message;
    if (message.rfind("done ", 0) == 0) ++done;
  }
  EXPECT_EQ(done, static_cast<std::size_t>(kLines));
  EXPECT_TRUE(window.find("progress 100%")) << window.dump();
  EXPECT_EQ(window.count("progress "), 1u) << "a redrawn bar is one line, in its last state";
}

TEST(StdoutTerminal, TheTargetOutlivesAKilledTracerAndItsClosedWindow) {
  // Orphans come to this test process, so it reaps what it made.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  TempDir dir;
  const std::string entry = programEntry(dir, "talker", "--print-forever");

  // A window that closes mid-trace: its target goes on printing into a
  // terminal that is still read.
  pid_t fromWindow = -1;
  {
    Window window;
    window.choose(entry);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.find("still alive 3").has_value(); })) << window.dump();
    fromWindow = window.view.runningApplication()->processIdentifier();
  }

  // A tracer killed outright: nothing of it runs any more, and the target's
  // writes fail quietly instead of killing it.
  auto out = posix::makePipe();
  posix::SpawnRequest request;
  request.argv = {MARROWFIELD_CLI_PATH, "trace", entry, "--no-fresh-launch", "--raw"};
  request.stdoutFd = out.writeEnd.get();
  auto cli = posix::spawnProcess(request);
  out.writeEnd.reset();
  ASSERT_GT(cli.pid, 0);
  ::fcntl(out.readEnd.get(), F_SETFL, O_NONBLOCK);
  std::string text;
  pid_t fromCli = -1;
  ASSERT_TRUE(waitFor([&] {
    char buffer[4096];
    const auto got = ::read(out.readEnd.get(), buffer, sizeof buffer);
    if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    const auto at = text.find("launched with PID ");
    if (at == std::string::npos || text.find("still alive 3") == std::string::npos) return false;
    fromCli = std::stoi(text.substr(at + 18));
    return true;
  })) << text;
  const auto cliChildren = testing::childProcesses(cli.pid);
  ASSERT_EQ(::kill(cli.pid, SIGKILL), 0);
  ASSERT_EQ(::waitpid(cli.pid, nullptr, 0), cli.pid);
  for (const auto& child : cliChildren) {
    if (child.pid == fromCli) continue;
    EXPECT_TRUE(waitFor([&] { return !testing::processExists(child.pid); }, 15)) << child.name;
  }

  // Both targets keep running well past the moments their readers went.
  ::usleep(500 * 1000);
  for (const pid_t pid : {fromWindow, fromCli}) {
    EXPECT_TRUE(testing::processExists(pid)) << pid;
    siginfo_t info{};
    EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG), 0);
    EXPECT_EQ(info.si_pid, 0) << "the target ended, with signal or status " << info.si_status;
    ::kill(pid, SIGKILL);
  }
  ::waitpid(fromCli, nullptr, 0);  // the window's target is reaped by the child watcher
  for (const auto& child : cliChildren) ::waitpid(child.pid, nullptr, WNOHANG);
}

}  // namespace
}  // namespace mf
