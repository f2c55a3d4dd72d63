// SPDX-License-Identifier: GPL-3.0-or-later
// LinuxWorkspace with real launches of the demo target.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "journal_fixture.h"
#include "platform/child_watcher.h"
#include "platform/event_loop_main_queue.h"
#include "platform/instances.h"
#include "platform/journal_forwarder.h"
#include "platform/linux_workspace.h"
#include "platform/log_stream.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::LineCollector;
using testing::waitFor;

struct Launch {
  std::mutex mutex;
  bool done = false;
  std::optional<std::string> error;
  std::shared_ptr<RunningApplication> application;
  bool onMainThread = false;
};

// A system user of the test's own, removed again; no uid when it could not
// be made (not root).
struct ScratchUser {
  std::string name = "mfuser" + testing::randomSuffix();
  std::optional<std::pair<uid_t, gid_t>> ids;
  ScratchUser() {
    if (::getuid() != 0 ||
        testing::runProgram({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name}).status) {
      return;
    }
    if (const passwd* entry = ::getpwnam(name.c_str())) ids = std::make_pair(entry->pw_uid, entry->pw_gid);
  }
  ~ScratchUser() { testing::runProgram({"userdel", name}); }
};

// A process the test starts and, at its end, kills and reaps.
struct Bystander {
  pid_t pid = -1;
  explicit Bystander(posix::SpawnRequest request) {
    posix::UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    request.stdoutFd = quiet.get();
    request.stderrFd = quiet.get();
    pid = posix::spawnProcess(request).pid;
  }
  ~Bystander() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  // Once it runs `program` (a setpriv or shell in front has replaced itself).
  bool runs(const std::filesystem::path& program) const {
    std::error_code ignored;
    return std::filesystem::equivalent("/proc/" + std::to_string(pid) + "/exe", program, ignored);
  }
};

// What the journal holds under `name` and `pid`, one message a line.
std::string journalText(const std::string& name, std::int32_t pid) {
  return testing::runProgram({"journalctl", "--no-pager", "-o", "cat", "SYSLOG_IDENTIFIER=" + name,
                              "SYSLOG_PID=" + std::to_string(pid)})
      .output;
}

class WorkspaceTest : public ::testing::Test {
 protected:
  std::shared_ptr<Launch> launch(const std::filesystem::path& path, LaunchOptions options = {}) {
    auto result = std::make_shared<Launch>();
    const auto mainThread = std::this_thread::get_id();
    workspace.openApplication(path, options, [result, mainThread](auto error, auto application) {
      std::lock_guard lock(result->mutex);
      result->error = std::move(error);
      result->application = std::move(application);
      result->onMainThread = std::this_thread::get_id() == mainThread;
      result->done = true;
    });
    EXPECT_TRUE(waitFor([&] {
      std::lock_guard lock(result->mutex);
      return result->done;
    }));
    return result;
  }

  std::shared_ptr<Launch> launchOk(const std::filesystem::path& path, LaunchOptions options = {}) {
    auto result = launch(path, std::move(options));
    EXPECT_FALSE(result->error) << *result->error;
    EXPECT_TRUE(result->application);
    return result;
  }

  // Registers an observer and runs the main queue until it reports.
  std::optional<TerminationNotification> awaitTermination(std::int32_t pid, double seconds = 10) {
    std::optional<TerminationNotification> got;
    bool onMainThread = false;
    auto observer = workspace.addTerminationObserver(pid, [&](const TerminationNotification& notification) {
      got = notification;
      onMainThread = queue.isMainThread();
    });
    queue.runUntil([&] { return got.has_value(); }, seconds);
    EXPECT_TRUE(!got || onMainThread);
    return got;
  }

  EventLoopMainQueue queue;
  LinuxWorkspace workspace{queue};
  testing::TempDir dir;
};

TEST_F(WorkspaceTest, LaunchFailuresCarryTheSystemsDescription) {
  const auto notExecutable = dir.write("tool", "#!/bin/sh\necho hi\n", false);
  auto denied = launch(notExecutable);
  // What failed is named: the program, or the working directory.
  EXPECT_EQ(denied->error, notExecutable.string() + ": Permission denied");
  EXPECT_FALSE(denied->application);
  EXPECT_FALSE(denied->onMainThread);

  EXPECT_EQ(launch(dir.path() / "missing")->error, (dir.path() / "missing").string() + ": No such file or directory");
  EXPECT_EQ(launch(dir.write("gone.desktop", "[Desktop Entry]\nType=Application\nExec=marrowfield-no-such-program\n"))->error,
            "marrowfield-no-such-program (Exec of gone.desktop): No such file or directory (not found in PATH)");
  EXPECT_EQ(launch(dir.write("bad.desktop", "[Desktop Entry]\nType=Application\nExec=\"open\n"))->error,
            (dir.path() / "bad.desktop").string() + ": invalid Exec: unterminated quote in Exec");
  EXPECT_EQ(launch(dir.write("wd.desktop", "[Desktop Entry]\nType=Application\nExec=true\nPath=/nonexistent\n"))->error,
            "/nonexistent (Path of " + (dir.path() / "wd.desktop").string() + "): No such file or directory");
}

TEST_F(WorkspaceTest, TerminationWatchReportsExitCodesAndSignalsAndEveryChildIsReaped) {
  const auto link = testing::privateDemo(dir);
  // Warm up what is created once (the watcher thread, the journal socket,
  // which the forwarder's thread opens with its first line).
  awaitTermination(launchOk(testing::writeDemoDesktopEntry(dir, "demo", link, ""))->application->processIdentifier());
  JournalForwarder::shared().flush();
  const auto descriptors = testing::openDescriptorCount();
  struct Case {
    std::string args;
    ExitStatus expected;
  };
  for (const Case& c : {Case{"", {false, 0}}, Case{"--exit 3", {false, 3}}, Case{"--crash", {true, SIGSEGV}}}) {
    const auto entry = testing::writeDemoDesktopEntry(dir, "demo", link, c.args);
    auto launched = launchOk(entry);
    ASSERT_TRUE(launched->application);
    const auto pid = launched->application->processIdentifier();
    EXPECT_GT(pid, 0);
    auto notification = awaitTermination(pid);
    ASSERT_TRUE(notification) << c.args;
    ASSERT_TRUE(notification->application);
    EXPECT_EQ(notification->application->processIdentifier(), pid);
    ASSERT_TRUE(notification->exitStatus);
    EXPECT_EQ(notification->exitStatus->signaled, c.expected.signaled) << c.args;
    EXPECT_EQ(notification->exitStatus->code, c.expected.code) << c.args;
    launchOk(entry);  // nobody watches this one: it is reaped all the same
  }
  // A crash that dumped core (the kernel then says CLD_DUMPED) is a signal too.
  const auto dumps = dir.write("dumps", "#!/bin/sh\ncd '" + dir.path().string() + "' && ulimit -c unlimited && exec '" +
                                            link.string() + "' --crash\n", true);
  auto dumped = awaitTermination(launchOk(dumps)->application->processIdentifier());
  ASSERT_TRUE(dumped && dumped->exitStatus);
  EXPECT_TRUE(dumped->exitStatus->signaled);
  EXPECT_EQ(dumped->exitStatus->code, SIGSEGV);
  EXPECT_TRUE(waitFor([] { return ChildWatcher::shared().liveChildren() == 0; }));
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); })) << testing::zombieChildren().size();
  EXPECT_TRUE(waitFor([&] { return testing::openDescriptorCount() == descriptors; }))
      << testing::openDescriptorCount() << " vs " << descriptors;
}

// Multi-call programs (busybox, vim as ex) read argv[0]: a symlink is
// started as the symlink, while its identifier is the file it points to. Qt
// programs started by the target (a traced terminal's too) inherit the level
// pattern wherever their stderr goes; a launch may ask for none. An Exec
// line's shell syntax reaches the program as plain arguments.
TEST_F(WorkspaceTest, WhatTheTargetIsStartedWith) {
  const auto script = dir.write("real.sh",
                                "#!/bin/sh\necho \"started as $0\"\necho \"pattern: ${QT_MESSAGE_PATTERN:-none}\"\n"
                                "for a in \"$@\"; do printf 'arg=[%s]\\n' \"$a\"; done\n",
                                true);
  const auto link = dir.path() / "alias";
  std::filesystem::create_symlink(script, link);
  EXPECT_EQ(workspace.bundleIdentifier(link), std::filesystem::canonical(script).string());
  const std::string c = (dir.path() / "pwned").string();
  // Quoted: \\$ and \\` are the entry's escapes for a literal $ and `.
  const auto hostile = dir.write("hostile.desktop",
                                 "[Desktop Entry]\nType=Application\nExec=\"" + link.string() + "\" \";\" \"\\\\$(touch " +
                                     c + ")\" \"\\\\`touch " + c + "\\\\`\" \"a b\" unquoted;semi|cat $(touch " + c +
                                     ") `touch " + c + "` >" + c + " %f %%u\n");
  for (const auto& path : {link, hostile}) {
    LineCollector lines;
    LaunchOptions options;
    options.output = lines.sink();
    options.qtLevelPrefix = path == link;
    auto launched = launchOk(path, options);
    ASSERT_TRUE(awaitTermination(launched->application->processIdentifier()));
    EXPECT_TRUE(waitFor([&] { return lines.contains("pattern: "); })) << lines.joined();
    EXPECT_TRUE(lines.contains("started as " + link.string())) << lines.joined();
    EXPECT_EQ(lines.contains("pattern: none"), path != link) << lines.joined();
    std::vector<std::string> args;
    for (const auto& line : lines.lines()) {
      if (line.starts_with("arg=[")) args.push_back(line.substr(5, line.size() - 6));
    }
    const std::vector<std::string> expected = {";", "$(touch " + c + ")", "`touch " + c + "`", "a b",
                                               "unquoted;semi|cat", "$(touch", c + ")", "`touch", c + "`", ">" + c,
                                               "%u"};
    EXPECT_EQ(args, path == link ? std::vector<std::string>{} : expected) << lines.joined();
  }
  EXPECT_FALSE(std::filesystem::exists(c));
}

TEST_F(WorkspaceTest, AnExitBeforeTheWatchIsRegisteredIsStillReported) {
  auto launched = launchOk(testing::writeDemoDesktopEntry(dir, "early", testing::privateDemo(dir), "--exit 7"));
  const auto pid = launched->application->processIdentifier();
  // Gone and reaped before anyone watches.
  ASSERT_TRUE(waitFor([&] { return !testing::processExists(pid); }));
  auto notification = awaitTermination(pid);
  ASSERT_TRUE(notification);
  ASSERT_TRUE(notification->exitStatus);
  EXPECT_EQ(notification->exitStatus->code, 7);
}

TEST_F(WorkspaceTest, DestroyingTheObserverUnregistersIt) {
  auto launched = launchOk(testing::writeDemoDesktopEntry(dir, "stay", testing::privateDemo(dir), "--stay"));
  const auto pid = launched->application->processIdentifier();
  bool removedCalled = false;
  auto removed = workspace.addTerminationObserver(pid, [&](const auto&) { removedCalled = true; });
  bool keptCalled = false;
  auto kept = workspace.addTerminationObserver(pid, [&](const auto&) { keptCalled = true; });
  removed.reset();
  EXPECT_TRUE(launched->application->terminate());
  EXPECT_TRUE(queue.runUntil([&] { return keptCalled; }, 10));
  queue.drain();
  EXPECT_FALSE(removedCalled);
}

TEST_F(WorkspaceTest, FreshLaunchFindsAndQuitsOnlyInstancesOfTheApplication) {
  // A copy of the demo is an application of its own (its own inode).
  const auto copy = testing::privateDemo(dir, "demo");
  const std::string identifier = workspace.bundleIdentifier(copy);
  ASSERT_EQ(identifier, std::filesystem::canonical(copy).string());
  EXPECT_TRUE(workspace.runningApplications(identifier).empty());

  auto first = launchOk(testing::writeDemoDesktopEntry(dir, "copy", copy, "--stay"));
  posix::SpawnRequest other;
  other.argv = {"/bin/sleep", "30"};
  auto bystander = posix::spawnProcess(other);
  ASSERT_GT(bystander.pid, 0);

  // The same program outside our session: another user's (never ours to
  // quit, also as root), and ours on another display with another bus.
  ScratchUser user;
  std::optional<Bystander> otherUser;
  if (user.ids) {
    posix::SpawnRequest request;
    request.argv = {"setpriv", "--reuid=" + std::to_string(user.ids->first),
                    "--regid=" + std::to_string(user.ids->second), "--clear-groups", "--", copy, "--stay"};
    request.searchPath = true;
    otherUser.emplace(request);
    ASSERT_TRUE(waitFor([&] { return otherUser->runs(copy); }));
  }
  posix::SpawnRequest elsewhereRequest;
  elsewhereRequest.argv = {copy, "--stay"};
  elsewhereRequest.environmentOverrides = {"DISPLAY=:97", "WAYLAND_DISPLAY=marrowfield-elsewhere",
                                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/marrowfield-bus"};
  Bystander elsewhere(elsewhereRequest);
  ASSERT_TRUE(waitFor([&] { return elsewhere.runs(copy); }));

  // A copy that simply ends at once beside the running one handed nothing over.
  auto quick = launchOk(testing::writeDemoDesktopEntry(dir, "copy", copy, ""));
  auto quickEnd = awaitTermination(quick->application->processIdentifier());
  ASSERT_TRUE(quickEnd && quickEnd->exitStatus);
  EXPECT_EQ(quickEnd->exitStatus->code, 0);
  EXPECT_FALSE(quickEnd->handedOffTo) << *quickEnd->handedOffTo;

  // Found both by its executable identifier and by its desktop entry's.
  ASSERT_EQ(workspace.bundleIdentifier(dir.path() / "copy.desktop"), "copy");
  for (const auto& id : {identifier, std::string("copy")}) {
    auto running = workspace.runningApplications(id);
    ASSERT_EQ(running.size(), 1u) << id;
    EXPECT_EQ(running[0]->processIdentifier(), first->application->processIdentifier());
  }
  auto running = workspace.runningApplications(identifier);
  // Quit only once the demo catches SIGTERM, so its orderly exit is what we see.
  const auto pid = first->application->processIdentifier();
  ASSERT_TRUE(waitFor([&] { return testing::catchesSignal(pid, SIGTERM); }));
  EXPECT_TRUE(running[0]->terminate());
  auto ended = awaitTermination(first->application->processIdentifier());
  ASSERT_TRUE(ended && ended->exitStatus);
  EXPECT_EQ(ended->exitStatus->code, 0);  // the demo's orderly SIGTERM exit
  EXPECT_FALSE(running[0]->terminate());  // gone: nothing delivered

  // An instance that ignores the request: delivered (true), still running.
  auto stubborn = launchOk(testing::writeDemoDesktopEntry(dir, "copy", copy, "--stay --ignore-term"));
  const auto stubbornPid = stubborn->application->processIdentifier();
  ASSERT_TRUE(waitFor([&] { return testing::ignoresSignal(stubbornPid, SIGTERM); }));
  ASSERT_EQ(workspace.runningApplications(identifier).size(), 1u);
  EXPECT_TRUE(workspace.runningApplications(identifier)[0]->terminate());
  EXPECT_TRUE(testing::processExists(stubbornPid));
  ::kill(stubbornPid, SIGKILL);
  EXPECT_TRUE(awaitTermination(stubbornPid));
  EXPECT_TRUE(testing::processExists(bystander.pid));
  EXPECT_TRUE(elsewhere.runs(copy));
  EXPECT_TRUE(!otherUser || otherUser->runs(copy));

  // A launcher program (env, a shell) says nothing about which app runs.
  dir.write("wrapped.desktop", "[Desktop Entry]\nType=Application\nExec=env FOO=1 sleep 30\n");
  workspace.bundleIdentifier(dir.path() / "wrapped.desktop");
  EXPECT_TRUE(workspace.runningApplications("wrapped").empty());
  EXPECT_TRUE(workspace.runningApplications("").empty());
  EXPECT_TRUE(workspace.runningApplications("no-such-app").empty());

  // A script runs under its interpreter, which the kernel gives the script's
  // path after the shebang line's argument; `tail -f` of it merely names it.
  const auto otherScript = dir.write("loop.sh", "#!/bin/sh\nexec sleep 30\n", true);
  for (const std::string shebang : {"#!/bin/sh -e", "#!/usr/bin/env sh"}) {
    const auto script = dir.write("waiter.sh", shebang + "\nwhile :; do sleep 1; done\n", true);
    posix::SpawnRequest tailRequest;
    tailRequest.argv = {"/usr/bin/tail", "-f", script};
    Bystander tail(tailRequest);
    ASSERT_TRUE(waitFor([&] { return tail.runs("/usr/bin/tail"); }));
    auto waiter = launchOk(script);
    const auto scriptId = workspace.bundleIdentifier(script);
    ASSERT_TRUE(waitFor([&] { return workspace.runningApplications(scriptId).size() == 1; })) << shebang;
    EXPECT_EQ(workspace.runningApplications(scriptId)[0]->processIdentifier(),
              waiter->application->processIdentifier());
    EXPECT_TRUE(workspace.runningApplications(workspace.bundleIdentifier(otherScript)).empty());
    EXPECT_TRUE(waiter->application->terminate());
    EXPECT_TRUE(awaitTermination(waiter->application->processIdentifier()));
    EXPECT_TRUE(tail.runs("/usr/bin/tail"));
  }

  ::kill(bystander.pid, SIGKILL);
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(bystander.pid), &info, WEXITED);
}

TEST_F(WorkspaceTest, DirectOutputIsDrainedAfterItsConsumerIsGone) {
  // Nobody reads any more: the target still runs to its end, not blocked on
  // a full pipe and not killed by SIGPIPE.
  std::atomic<std::int32_t> pid{0};
  {
    EventLoopMainQueue otherQueue;
    LinuxWorkspace shortLived(otherQueue);
    LineCollector ignored;
    LaunchOptions orphaned;
    orphaned.output = ignored.sink();
    orphaned.stderrToJournal = false;
    std::atomic<bool> done{false};
    shortLived.openApplication(
        testing::writeDemoDesktopEntry(dir, "orphan", testing::privateDemo(dir), "--flood 200000"), orphaned,
        [&](auto, auto application) {
          pid = application ? application->processIdentifier() : -1;
          done = true;
        });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
  }
  ASSERT_GT(pid, 0);
  auto orphanEnd = awaitTermination(pid, 30);
  ASSERT_TRUE(orphanEnd && orphanEnd->exitStatus);
  EXPECT_FALSE(orphanEnd->exitStatus->signaled);
  EXPECT_EQ(orphanEnd->exitStatus->code, 0);
}

// stdout straight from the terminal, stderr and the journal API lines from
// the journal, each once. The journal holds stdout too, as a launcher's
// stream would have stored it; past journald's pace for such a stream the
// rest is counted, and the count is in the journal as soon as stdout ends.
TEST_F(WorkspaceTest, EveryLineReachesTheTraceOnceAndStdoutTheJournalToo) {
  const auto link = testing::privateDemo(dir);
  const std::string name = link.filename();
  LineCollector streamed;
  JournalLogStreamLauncher launcher;
  auto stream = launcher.start(name, streamed.sink());
  ASSERT_TRUE(stream.process) << stream.errorDescription;
  LineCollector printed;
  LaunchOptions options;
  options.output = printed.sink();
  options.spawned = [&](const LaunchedProcess& process) { stream.process->follow(process); };
  auto launched = launchOk(testing::writeDemoDesktopEntry(dir, name, link, "--bundle-id demo.id --flood 15000"), options);
  const auto pid = launched->application->processIdentifier();
  ASSERT_TRUE(awaitTermination(pid));
  EXPECT_TRUE(waitFor([&] {
    return printed.contains("starting (pid") && printed.contains("flood line 15000") &&
           streamed.contains("Permission denied") && streamed.contains("[demo.id:general]") &&
           streamed.contains("error: failed to connect");
  })) << printed.joined().substr(0, 2000) << "\n--\n" << streamed.joined();
  EXPECT_FALSE(printed.contains("Permission denied"));
  std::string journal;
  EXPECT_TRUE(waitFor([&] {
    return (journal = journalText(name, pid)).find("lines this program printed on stdout") != std::string::npos;
  })) << journal.substr(journal.size() - std::min<std::size_t>(journal.size(), 400));
  EXPECT_NE(journal.find("starting (pid"), std::string::npos) << journal.substr(0, 400);
  // Once the stream has gone quiet, what the journal still handed on has
  // arrived: none of it is stdout a second time.
  std::atomic<bool> quiet{false};
  stream.process->notifyWhenQuiet([&] { quiet = true; });
  ASSERT_TRUE(waitFor([&] { return quiet.load(); }));
  EXPECT_FALSE(streamed.contains("starting (pid")) << streamed.joined();
  EXPECT_FALSE(streamed.contains("flood line")) << streamed.joined().substr(0, 2000);
}

// Two login sessions the kernel tells apart are two sessions, whatever the
// display and bus say; where one has none, the display and bus decide.
TEST(Instances, ALoginSessionTheKernelTellsApartIsAnotherSession) {
  const SessionIdentity own{1000, 3, ":0", std::nullopt, "unix:path=/run/user/1000/bus"};
  auto other = own;
  EXPECT_TRUE(sameSession(own, other));
  other.loginSession = 4;
  EXPECT_FALSE(sameSession(own, other));
  other.loginSession.reset();
  EXPECT_TRUE(sameSession(own, other));
}

// With a journal that takes nothing, the queue stays within its bytes; once
// the journal takes again, every line was either sent or counted, and the
// count comes by itself, with no further line. A later launch given the same
// pid starts with a full budget.
TEST(JournalForwarder, TheQueueIsBoundedAndEveryLineIsSentOrCounted) {
  std::mutex mutex;
  std::condition_variable taking;
  bool journalRuns = false;
  std::vector<std::string> sent;
  auto send = [&](const std::string&, std::int32_t, std::string_view text) {
    std::unique_lock lock(mutex);
    taking.wait(lock, [&] { return journalRuns; });
    sent.emplace_back(text.substr(0, 100));
    return true;
  };
  JournalForwarder forwarder(send, std::chrono::milliseconds(100));
  auto source = forwarder.open("flood", 4242);
  const std::string line(100 * 1024, 'x');
  for (int i = 0; i < 1000; ++i) source->forward(LineBatch::of({line}));
  EXPECT_LE(forwarder.peakQueuedBytes(), JournalForwarder::kQueueBytes);
  EXPECT_GT(forwarder.peakQueuedBytes(), JournalForwarder::kQueueBytes / 2);
  // Exiting now, what the journal did not take is said on stderr: all of it,
  // the lines queued and those counted in the queued note alike.
  ::testing::internal::CaptureStderr();
  forwarder.finish(std::chrono::milliseconds(10));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("marrowfield: 1000 lines"), std::string::npos);
  {
    std::lock_guard lock(mutex);
    journalRuns = true;
  }
  taking.notify_all();
  // Lines sent and lines counted in the notes.
  const auto tally = [&] {
    std::lock_guard lock(mutex);
    std::pair<std::size_t, std::size_t> lines{0, 0};
    for (const auto& text : sent) {
      if (text.starts_with("marrowfield: ")) {
        lines.second += std::stoul(text.substr(13));
      } else {
        ++lines.first;
      }
    }
    return lines;
  };
  ASSERT_TRUE(waitFor([&] { return tally().second > 0; }));
  forwarder.flush();
  EXPECT_EQ(tally().first + tally().second, 1000u);

  LineBatch burst;
  for (std::size_t i = 0; i <= JournalForwarder::kBurstLines; ++i) burst.add("burst");
  source->forward(burst);
  source.reset();
  auto reused = forwarder.open("flood", 4242);
  reused->forward(LineBatch::of({"after the pid came back"}));
  forwarder.flush();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(sent.back(), "after the pid came back");
  }
  // Past its burst, a source is heard again in the next interval.
  reused->forward(burst);
  EXPECT_TRUE(waitFor([&] {
    reused->forward(LineBatch::of({"after the interval"}));
    forwarder.flush();
    std::lock_guard lock(mutex);
    return sent.back() == "after the interval";
  }));

  // No journald listening: every entry refused, and counted at the exit.
  JournalForwarder refusing([](const std::string&, std::int32_t, std::string_view) { return false; });
  refusing.open("gone", 4243)->forward(LineBatch::of({"one", "two"}));
  refusing.flush();
  ::testing::internal::CaptureStderr();
  refusing.finish(std::chrono::milliseconds(10));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("marrowfield: 2 lines"), std::string::npos);
}

}  // namespace
}  // namespace mf
