// SPDX-License-Identifier: GPL-3.0-or-later
// Launch-time faults with the real platform: targets that die at once, end
// before their watch exists, leave a writing helper behind or ignore SIGTERM;
// chosen files that vanish or cannot be read; hostile Exec lines and file
// names. Each test checks what the user sees and that nothing else is lost.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "reliability_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using reliability::Window;
using testing::TempDir;
using testing::waitFor;

struct Demo {
  std::string name;
  std::string entry;
};

Demo demoEntry(const TempDir& dir, const std::string& args) {
  const auto link = testing::privateDemo(dir);
  const std::string name = link.filename();
  return {name, testing::writeDemoDesktopEntry(dir, name, link, "--bundle-id " + name + " " + args).string()};
}

pid_t tracedPid(const Window& window) {
  return window.view.runningApplication() ? window.view.runningApplication()->processIdentifier() : -1;
}

TEST(LaunchFaults, ATargetThatDiesAtOnceOrBeforeItsWatchExistsIsReportedWithItsLastLines) {
  TempDir dir;
  {
    Window window;
    const auto demo = demoEntry(dir, "--crash");
    window.choose(demo.entry);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] {
      return window.view.status().kind == TraceStatus::Kind::processEnded && window.find("fatal error: dereferencing");
    })) << window.dump();
    const auto crash = window.indexOf(demo.name + " crashed: killed by signal 11 (SIGSEGV)");
    ASSERT_LT(crash, window.view.events().size()) << window.dump();
    EXPECT_EQ(window.view.events().at(crash + 1).message, demo.name + " terminated");
    EXPECT_LT(window.indexOf(" launched with PID "), crash);
    ASSERT_EQ(window.view.sessions().size(), 1u);
    window.view.copySummary();
    EXPECT_NE(window.pasteboard.text.find("[CRASH] " + demo.name + " crashed: killed by signal 11 (SIGSEGV)"),
              std::string::npos)
        << window.pasteboard.text;
  }
  {
    // The main thread is busy while the target starts and ends: the launch
    // report and the watch come after the exit, which is still reported
    // with its status.
    Window window;
    const auto demo = demoEntry(dir, "--exit 5");
    window.choose(demo.entry);
    const auto before = ChildWatcher::shared().liveChildren();
    window.view.startTrace();
    ASSERT_TRUE(window.view.isTracing());
    ASSERT_TRUE(waitFor([&] { return ChildWatcher::shared().liveChildren() == before; }));
    EXPECT_FALSE(window.find(" launched with PID "));  // nothing has run on the main thread yet
    ASSERT_TRUE(window.runUntil([&] {
      return window.view.status().kind == TraceStatus::Kind::processEnded && window.find("Ready for work");
    })) << window.dump();
    const auto launched = window.indexOf(" launched with PID ");
    const auto exited = window.indexOf(demo.name + " exited with status 5");
    EXPECT_LT(launched, exited) << window.dump();
    EXPECT_EQ(window.view.events().at(exited + 1).message, demo.name + " terminated");
    EXPECT_EQ(window.count(" terminated"), 1u);
    EXPECT_FALSE(window.view.isTracing());
    EXPECT_FALSE(window.view.hasTerminationObserver());
  }
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
}

TEST(LaunchFaults, AHelperThatOutlivesTheTargetIsReadToTheEnd) {
  // The demo forks a helper and ends; the helper writes ten more lines over
  // about a second. With the journal and with direct capture, all ten arrive
  // once, in order, after the target's end.
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "journal" : "direct capture");
    TempDir dir;
    Window window(journal ? JournalLogStreamLauncher::Options{} : reliability::withoutJournal());
    const auto demo = demoEntry(dir, "--fork-child");
    window.choose(demo.entry);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] {
      return window.view.status().kind == TraceStatus::Kind::processEnded && window.find("(10 of 10)");
    })) << window.dump();
    const auto terminated = window.indexOf(demo.name + " terminated");
    std::size_t previous = 0;
    for (int i = 1; i <= 10; ++i) {
      const std::string line = "background helper still writing (" + std::to_string(i) + " of 10)";
      EXPECT_EQ(window.count(line), 1u) << line << "\n" << window.dump();
      const auto at = window.indexOf(line);
      EXPECT_GT(at, previous);
      previous = at;
    }
    // Direct capture delivers what was written before the end is reported;
    // the journal hands lines on later, so there they may follow it.
    if (!journal) {
      EXPECT_LT(window.indexOf("Ready for work"), terminated);
    }
    EXPECT_EQ(window.count("Ready for work"), 1u);
    EXPECT_FALSE(window.find("exited with status"));
    EXPECT_FALSE(window.view.isTracing());
    // The live list keeps the helper's late lines; the session recorded at
    // the target's end holds what had arrived by then.
    ASSERT_EQ(window.view.sessions().size(), 1u);
    EXPECT_LE(window.view.sessions()[0].events.size(), window.view.events().size());
  }
}

TEST(LaunchFaults, AJournalctlKilledMidTraceIsSaidAndTheTraceEndsNormally) {
  TempDir dir;
  Window window;
  const auto demo = demoEntry(dir, "--stay");
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid() && window.find("Ready for work"); })) << window.dump();
  const auto journalctl = reliability::journalctlChildren("--output=export");
  ASSERT_EQ(journalctl.size(), 1u);
  const auto eventsBefore = window.view.events().size();

  ASSERT_EQ(::kill(journalctl[0], SIGKILL), 0);
  ASSERT_TRUE(window.runUntil([&] { return !window.view.logProcess()->isRunning(); })) << window.dump();
  // Said once, as a warning the list shows by default, after what had come.
  const std::string said = "Unified log stream ended unexpectedly: journalctl was killed by signal 9 (SIGKILL)";
  ASSERT_TRUE(window.runUntil([&] { return window.find(said).has_value(); })) << window.dump();
  EXPECT_EQ(window.find(said)->type, EventType::warning);
  EXPECT_EQ(window.find(said)->source, "LOG");
  EXPECT_EQ(window.count("ended unexpectedly"), 1u);
  EXPECT_GT(window.view.events().size(), eventsBefore);
  // The trace goes on: same target, same status.
  EXPECT_TRUE(window.view.isTracing());
  EXPECT_TRUE(window.tracingPid());
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));

  // Its end is still noticed through the pidfd, and recorded.
  window.view.runningApplication()->terminate();
  ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded; })) << window.dump();
  EXPECT_EQ(window.view.events().at(window.view.events().size() - 1).message, demo.name + " terminated");
  EXPECT_FALSE(window.view.isTracing());
  EXPECT_FALSE(window.view.logProcess());
  ASSERT_EQ(window.view.sessions().size(), 1u);
  EXPECT_EQ(window.count("ended unexpectedly"), 1u);
  EXPECT_FALSE(testing::processExists(journalctl[0]));
}

TEST(LaunchFaults, FreshLaunchPastAnInstanceThatIgnoresSigtermDoesNotHang) {
  TempDir dir;
  Window window;
  const auto demo = demoEntry(dir, "--stay --ignore-term");
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid(); })) << window.dump();
  const pid_t stubborn = tracedPid(window);
  ASSERT_TRUE(waitFor([&] { return testing::ignoresSignal(stubborn, SIGTERM); }));
  window.view.stopTrace(true);

  // A start that waited for this instance to quit would never return.
  const auto started = std::chrono::steady_clock::now();
  window.view.startTrace();
  const double startSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid(); })) << window.dump();
  const pid_t fresh = tracedPid(window);
  // The quit request was delivered (and ignored): said once, and the launch
  // went ahead after the one short wait, never forcing the old instance.
  EXPECT_EQ(window.view.events().at(0).message, "Existing " + demo.name + " instance terminated for fresh launch");
  EXPECT_EQ(window.count("instance terminated for fresh launch"), 1u);
  EXPECT_NE(fresh, stubborn);
  EXPECT_TRUE(testing::processExists(stubborn));
  std::printf("[ measured ] fresh start past a SIGTERM-ignoring instance took %.3f s\n", startSeconds);

  ::kill(stubborn, SIGKILL);
  ::kill(fresh, SIGKILL);
  ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded; })) << window.dump();
  EXPECT_TRUE(window.find(demo.name + " crashed: killed by signal 9 (SIGKILL)"));
  EXPECT_EQ(window.view.sessions().size(), 2u);
  EXPECT_TRUE(waitFor([&] { return !testing::processExists(stubborn) && testing::zombieChildren().empty(); }));
}

TEST(LaunchFaults, AChosenFileThatVanishesOrCannotBeReadFailsTheLaunchVisibly) {
  TempDir dir;
  Window window;
  // One good trace first: it must survive the failures after it.
  const auto demo = demoEntry(dir, "");
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded; })) << window.dump();
  const auto goodEvents = window.view.sessions().at(0).events.size();

  struct Case {
    std::string what;
    std::filesystem::path path;
    std::string expected;
  };
  const auto vanishedEntry = demoEntry(dir, "");
  const auto vanishedProgram = dir.write("gone-tool", "#!/bin/sh\necho hi\n", true);
  const auto fifo = dir.path() / "fifo.desktop";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const auto folder = dir.path() / "folder.desktop";
  std::filesystem::create_directory(folder);
  const std::vector<Case> cases = {
      // The description names what failed, then says why.
      {"a desktop entry removed after the choice", vanishedEntry.entry,
       "Launch failed: " + vanishedEntry.entry + ": No such file or directory"},
      {"a program removed after the choice", vanishedProgram,
       "Launch failed: " + vanishedProgram.string() + ": No such file or directory"},
      // A FIFO would block a reader forever; it is refused without opening it for long.
      {"a FIFO named like a desktop entry", fifo, "Launch failed: " + fifo.string() + ": "},
      {"a folder named like a desktop entry", folder, "Launch failed: " + folder.string() + ": Is a directory"},
  };
  std::size_t sessions = window.view.sessions().size();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    window.choose(c.path.string());
    if (c.path == vanishedProgram || c.path.string() == vanishedEntry.entry) std::filesystem::remove(c.path);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::launchFailed; }, 10)) << window.dump();
    const auto failure = window.find("Launch failed: ");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message.rfind(c.expected, 0), 0u) << failure->message;
    EXPECT_GT(failure->message.size(), std::string("Launch failed: ").size());
    EXPECT_EQ(failure->type, EventType::error);
    EXPECT_EQ(failure->source, "LAUNCH");
    EXPECT_FALSE(window.view.isTracing());
    EXPECT_EQ(window.view.sessions().size(), ++sessions);
    EXPECT_EQ(window.view.sessions().front().events.size(), window.view.events().size());
  }
  // The first trace is still in the history, untouched.
  EXPECT_EQ(window.view.sessions().back().events.size(), goodEvents);
  EXPECT_EQ(window.view.sessions().back().appName, demo.name);
}

// Runs `argv` and returns its exit status and everything it printed.
std::pair<int, std::string> runCommand(const std::vector<std::string>& argv) {
  auto pipe = posix::makePipe();
  posix::SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.stdoutFd = request.stderrFd = pipe.writeEnd.get();
  auto child = posix::spawnProcess(request);
  pipe.writeEnd.reset();
  if (child.pid < 0) return {-1, argv.front() + ": " + posix::errorText(child.error)};
  std::string output;
  char buffer[4096];
  for (;;) {
    const auto got = posix::retryOnEintr([&] { return ::read(pipe.readEnd.get(), buffer, sizeof buffer); });
    if (got <= 0) break;
    output.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

TEST(LaunchFaults, AnUnreadableEntryIsRefusedWithTheReasonForAnOrdinaryUser) {
  // The tests run as root, whom permissions do not stop; an ordinary user
  // (nobody) meets them through the command-line trace.
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const auto unreadable = dir.write("locked.desktop", "[Desktop Entry]\nType=Application\nExec=/bin/true\n");
  ::chmod(unreadable.c_str(), 0000);
  const auto hidden = dir.path() / "private";
  std::filesystem::create_directory(hidden);
  const auto behind = hidden / "behind.desktop";
  std::ofstream(behind) << "[Desktop Entry]\nType=Application\nExec=/bin/true\n";
  ::chmod(hidden.c_str(), 0700);

  const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                             MARROWFIELD_CLI_PATH, "trace"};
  auto run = [&](const std::filesystem::path& path) {
    auto argv = asNobody;
    argv.push_back(path.string());
    return runCommand(argv);
  };
  const auto [lockedStatus, lockedOutput] = run(unreadable);
  EXPECT_EQ(lockedStatus, 2) << lockedOutput;
  EXPECT_NE(lockedOutput.find("is not an application: Permission denied"), std::string::npos) << lockedOutput;
  const auto [behindStatus, behindOutput] = run(behind);
  EXPECT_EQ(behindStatus, 2) << behindOutput;
  EXPECT_NE(behindOutput.find(behind.string() + ": Permission denied"), std::string::npos) << behindOutput;
}

// nobody is in no group that may read the journal: the trace says why it
// cannot follow it and still shows all the target writes, on both streams,
// including a last line without its newline while a child holds the terminal.
TEST(LaunchFaults, AUserWhoMayNotReadTheJournalGetsTheReasonAndEveryLine) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const auto script = dir.write("speaks", "#!/bin/sh\necho 'said on stdout'\necho 'said on stderr' >&2\n"
                                          "sleep 3 &\nprintf 'first\\nunfinished'\n", true);
  const auto [status, output] = runCommand({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                            MARROWFIELD_CLI_PATH, "trace", "--raw", script.string()});
  EXPECT_NE(output.find("Could not arm unified log stream: this user may not read the systemd journal"),
            std::string::npos) << output;
  for (const char* line : {"said on stdout", "said on stderr", "] first", "] unfinished"}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
  }
  EXPECT_NE(output.find("speaks terminated"), std::string::npos) << output;
  (void)status;
}

TEST(LaunchFaults, HostileExecLinesAndFileNamesAreArgumentsNeverShellText) {
  TempDir dir;
  // Prints each argument it gets between brackets.
  const auto echoArgs = dir.write("echo-args", "#!/bin/sh\nfor a in \"$@\"; do printf 'arg=[%s]\\n' \"$a\"; done\n", true);
  const auto canary = dir.path() / "pwned";
  const std::string c = canary.string();
  const std::string name = "hostile-" + testing::randomSuffix();
  // Quoted: \\$ and \\` are the entry's escapes for a literal $ and `.
  const auto entry = dir.write(
      name + ".desktop",
      "[Desktop Entry]\nType=Application\nExec=\"" + echoArgs.string() + "\" \";\" \"\\\\$(touch " + c +
          ")\" \"\\\\`touch " + c + "\\\\`\" \"a b\" unquoted;semi|cat $(touch " + c + ") `touch " + c +
          "` >" + c + " %f %%u\n");
  Window window;
  window.choose(entry.string());
  window.view.setShowRawLog(true);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] {
    return window.view.status().kind == TraceStatus::Kind::processEnded && window.find("arg=[%u]");
  })) << window.dump();
  std::vector<std::string> args;
  for (const auto& event : window.view.events().toVector()) {
    // The journal's short format puts time, host and identifier before the line.
    const auto at = event.message.find("arg=[");
    if (at != std::string::npos) args.push_back(event.message.substr(at + 5, event.message.size() - at - 6));
  }
  const std::vector<std::string> expected = {";", "$(touch " + c + ")", "`touch " + c + "`", "a b",
                                             "unquoted;semi|cat", "$(touch", c + ")", "`touch", c + "`", ">" + c,
                                             "%u"};
  EXPECT_EQ(args, expected) << window.dump();
  EXPECT_FALSE(std::filesystem::exists(canary));
}

TEST(LaunchFaults, NamesWithQuotesNewlinesAndForeignBytesReachEveryChildAsOneArgument) {
  TempDir dir;
  {
    // A desktop entry whose name holds a double quote and shell syntax: it
    // reaches journalctl in no form (the stream follows the process tree,
    // not a name), and the target's journal lines are still traced.
    const auto link = testing::privateDemo(dir);
    const std::string name = "q\"uote $(x) `y`-" + testing::randomSuffix();
    const auto entry = testing::writeDemoDesktopEntry(dir, name, link, "--stay");
    Window window;
    window.choose(entry.string());
    EXPECT_EQ(window.view.selectedAppName(), name);
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] { return window.tracingPid() && window.find("Ready for work"); })) << window.dump();
    const auto journalctl = reliability::journalctlChildren("--output=export");
    ASSERT_EQ(journalctl.size(), 1u);
    for (const auto& arg : posix::commandLineOf(journalctl[0])) {
      EXPECT_EQ(arg.find("uote"), std::string::npos) << arg;
    }
    ASSERT_TRUE(window.runUntil([&] { return window.find("Permission denied").has_value(); })) << window.dump();
    EXPECT_EQ(window.view.events().at(1).message, "Unified log stream armed for process " + name);
    window.view.runningApplication()->terminate();
    ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded; })) << window.dump();
  }
  {
    // A program whose file name holds quotes, blanks, a newline and bytes that
    // are not UTF-8: it starts, its output is traced, its path is shown as is.
    // (A newline in the journal stream's identifier used to end the stream's
    // header early: journald hung up and the target died of SIGPIPE.)
    const std::string name = std::string("we'ird \"name\" $(x)\n\xff\xfe-") + testing::randomSuffix();
    const auto program = dir.write(name, "#!/bin/sh\necho \"odd program says hello\"\n", true);
    Window window;
    window.choose(program.string());
    EXPECT_EQ(window.view.selectedAppName(), name);
    EXPECT_EQ(window.view.status(), (TraceStatus{TraceStatus::Kind::readyToTrace, name, 0}));
    window.view.startTrace();
    ASSERT_TRUE(window.runUntil([&] {
      return window.view.status().kind == TraceStatus::Kind::processEnded && window.find("odd program says hello");
    })) << window.dump();
    EXPECT_TRUE(window.find("Launch trace started for " + name));
    const auto path = window.find(program.string());
    ASSERT_TRUE(path);
    EXPECT_EQ(path->source, "PATH");
    EXPECT_FALSE(window.find("exited with status"));
    EXPECT_FALSE(window.find("crashed"));
  }
}

}  // namespace
}  // namespace mf
