// SPDX-License-Identifier: GPL-3.0-or-later
// Launching: desktop entries and executables as applications, and
// LinuxWorkspace with real launches of the demo target.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <csignal>
#include <future>
#include <mutex>
#include <numeric>
#include <regex>
#include <sstream>
#include <thread>

#include "journal_fixture.h"
#include "platform/application.h"
#include "platform/desktop_entry.h"
#include "platform/child_watcher.h"
#include "platform/instances.h"
#include "platform/journal_forwarder.h"
#include "platform/log_stream.h"
#include "platform/spawn.h"
#include "platform/system_calls.h"
#include "platform/user_scope.h"
#include "platform_test_support.h"
#include "support/cases.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment(false));

using testing::LineCollector;
using testing::waitFor;
using Argv = std::vector<std::string>;

// The cases, with why each is there: cases/desktop_exec.tsv.
TEST(DesktopEntry, ExecQuotingEscapesFieldCodesAndBrokenEntries) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/desktop_exec.tsv")) {
    const auto parsed = parseDesktopEntry(c[0]);
    // A refused entry reads as "error: " and the reason.
    EXPECT_EQ(parsed.entry ? parsed.entry->exec : Argv{"error: " + parsed.error}, Argv(c.begin() + 1, c.end())) << c[0];
  }
}

TEST(DesktopEntry, ApplicationsTheirNamesAndIdentifiersFromFiles) {
  testing::TempDir dir;
  const auto app = dir.write("My.Tool.desktop",
                             "[Desktop Action new]\nName=New Window\n[Desktop Entry]\nType=Application\nName[de]=Werkzeug\n"
                             "Name = My Tool \nName=Second\nExec=python3 -c \"exit(0)\"\nTryExec=python3\nPath=/tmp\n");
  const auto resolved = resolveApplication(app);
  ASSERT_TRUE(resolved.target) << resolved.reason;
  EXPECT_EQ(resolved.target->name, "My.Tool");
  EXPECT_EQ(resolved.target->workingDirectory, "/tmp");
  EXPECT_EQ(resolved.target->argv.at(0).front(), '/');  // resolved through PATH
  EXPECT_EQ(resolved.target->instanceExecutable, "");   // an interpreter says nothing about the app
  // The chooser's name for it: the first unlocalised Name= of its own group.
  EXPECT_EQ(desktopEntryName(app), "My Tool");
  const auto script = dir.write("run.sh", "#!/bin/sh\nexit 0\n", true);
  EXPECT_EQ(desktopEntryName(script), "") << "only desktop entries have a Name=";
  // A program chosen by a relative name is started by its full one.
  const auto relative = std::filesystem::relative(script);
  EXPECT_EQ(resolveApplication(relative).target->argv, std::vector<std::string>{std::filesystem::current_path() / relative});

  // Executables: ELF and "#!" scripts. What a reader would block on (a FIFO)
  // or read whole (a huge file) is refused at once.
  std::filesystem::create_directory(dir.path() / "folder.desktop");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe.desktop").c_str(), 0644), 0);
  const std::pair<std::filesystem::path, std::string> cases[] = {
      {app, ""}, {script, ""}, {testing::demoExecutable(), ""},
      {dir.write("gone.desktop", "[Desktop Entry]\nType=Application\nExec=x\nTryExec=/nonexistent/x\n"),
       "TryExec program not found: /nonexistent/x"},
      {dir.write("hidden.desktop", "[Desktop Entry]\nType=Application\nExec=true\nHidden=true\n"), "-"},
      {dir.write("shown.desktop", "[Desktop Entry]\nType=Application\nExec=true\nHidden=yes\n"), ""},  // no boolean: not hidden
      {dir.write("notes.txt", "hELF", true), "-"},        // executable bit but no program inside
      {dir.write("tool", "#!/bin/sh\n", false), "-"},     // a program without the executable bit
      {dir.path(), "-"},
      {dir.path() / "missing.desktop", "No such file or directory"},
      {dir.path() / "folder.desktop", "Is a directory"},
      {dir.path() / "pipe.desktop", "not a regular file"},
      {dir.write("huge.desktop", std::string(2 << 20, '#')), "File too large"},
      {dir.write("edge.desktop", std::string(1 << 20, '#')), "no [Desktop Entry] group"},  // 1 MiB is not too large
  };
  for (const int off : {-1, 1}) for (const int at : {0, 1, 2, 3}) {  // a program's magic one byte off, either way
    std::string magic = "\x7f" "ELF";
    EXPECT_FALSE(isApplication(dir.write("near-elf", magic.replace(at, 1, 1, static_cast<char>(magic[at] + off)), true))) << at;
  }
  for (const auto& [path, reason] : cases) {
    EXPECT_EQ(isApplication(path), reason.empty()) << path;
    EXPECT_TRUE(reason == "-" || resolveApplication(path).reason == reason) << path << ": " << resolveApplication(path).reason;
  }

  // The workspace's identifier: the entry's name, or the program's canonical path.
  EventLoopMainQueue queue;
  LinuxWorkspace workspace(queue);
  EXPECT_EQ(workspace.bundleIdentifier(app), "My.Tool");
  for (const auto& path : {dir.path() / "notes.txt", dir.path() / "missing.desktop", dir.path() / "missing"}) EXPECT_EQ(workspace.bundleIdentifier(path), "") << path;
}

TEST(DesktopEntry, DesktopFileIdFollowsTheXdgApplicationsDirectories) {
  testing::TempDir dir;
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
  ::unsetenv("HOME");  // and no XDG_DATA_HOME: no directory of the user's own
  std::filesystem::create_directories(dir.path() / "share/applications/kde");
  const auto nested = dir.write("share/applications/kde/foo.desktop", "[Desktop Entry]\nType=Application\nExec=true\n");
  ::setenv("XDG_DATA_DIRS", (dir.path() / "share").c_str(), 1);
  EXPECT_EQ(desktopFileId(nested), "kde-foo.desktop");
  EXPECT_EQ(findDesktopFile("kde-foo"), nested.string());
  const auto direct = dir.write("share/applications/kde-bar.desktop", "[Desktop Entry]\nType=Application\nExec=true\n");
  EXPECT_EQ(findDesktopFile("kde-bar"), direct.string());  // a name with a dash, found as it is
  ::unsetenv("XDG_DATA_DIRS");
  EXPECT_EQ(desktopFileId(nested), "foo.desktop");
  ::setenv("HOME", home.c_str(), 1);
}

struct Launched {
  std::optional<std::string> error;
  std::shared_ptr<RunningApplication> application;
  bool onMainThread = false;
};

// A process the test starts and, at its end, kills and reaps.
struct Bystander {
  pid_t pid = -1;
  explicit Bystander(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
    os::UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    os::SpawnRequest request;
    request.argv = std::move(argv);
    request.searchPath = true;
    request.environmentOverrides = std::move(environment);
    request.stdoutFd = request.stderrFd = quiet.get();
    pid = os::spawnProcess(request).pid;
  }
  // With its group, where it leads one (after setsid).
  ~Bystander() { if (pid > 0) ::kill(-pid, SIGKILL), ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); }
  // Once it runs `program` (a setpriv or shell in front has replaced itself).
  // Not waiting for its environment: /proc shows the new program a moment
  // before it, and a scan in that moment must not take it for ours.
  bool runs(const std::filesystem::path& program) const {
    std::error_code ignored;
    return std::filesystem::equivalent("/proc/" + std::to_string(pid) + "/exe", program, ignored);
  }
};

// What a process's environment says of its desktop, and whether that is the
// session of a process on ":0" and "wayland-0" with the user bus of
// /run/user/7 (cases/sessions.tsv).
class SessionTable : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(SessionTable, IsReadFromTheProcesssOwnEnvironment) {
  const auto& c = GetParam().fields;
  std::istringstream words("env -i " + c[0] + " sleep 60");
  std::vector<std::string> argv;
  for (std::string word; words >> word;)
    for (int i = 0; i < (word == "LARGE" ? 9 : 1); ++i) argv.push_back(word == "LARGE" ? "V" + std::to_string(i) + "=" + std::string(120'000, 'x') : word);
  Bystander process(argv);
  // Until the kernel has laid out the environment too (a moment after the arguments).
  const std::string environment = "/proc/" + std::to_string(process.pid) + "/environ";
  ASSERT_TRUE(waitFor([&] { return process.runs("/usr/bin/sleep") && std::ifstream(environment).peek() != EOF; }));
  const auto seen = sessionOf(process.pid);
  ASSERT_TRUE(seen);
  const SessionIdentity desktop{::getuid(), seen->loginSession, ":0", "wayland-0", "unix:path=/run/user/7/bus"};
  EXPECT_EQ(seen->x11Display.value_or("-") + " " + seen->waylandDisplay.value_or("-") + " " +
                (seen->sessionBus.empty() ? "-" : seen->sessionBus) + "\t" +
                (sameSession(desktop, *seen) ? "same" : "other") +
                (sameSession(*seen, desktop) == sameSession(desktop, *seen) ? "" : ", one way only"),
            c[1] + "\t" + c[2]);
}

INSTANTIATE_TEST_SUITE_P(Environments, SessionTable,
                         ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/sessions.tsv")),
                         testing::caseName);

// A login (pam_loginuid) writes a process's loginuid, which opens a login
// session of its own: it is read from /proc as not ours. The kernel's "none"
// is no session.
TEST(SessionTable, ALoginSessionIsReadAndNoneIsNone) {
  if (!testing::signalInMask(::getpid(), "CapEff:", 30 + 1) || !std::filesystem::exists("/proc/self/loginuid")) {
    GTEST_SKIP() << "opening a login session needs CAP_AUDIT_CONTROL and the kernel's audit";
  }
  Bystander login({"sh", "-c", "echo 0 > /proc/self/loginuid; exec sleep 60"});
  ASSERT_TRUE(waitFor([&] { return login.runs("/usr/bin/sleep"); }));
  const auto id = [](pid_t pid) { return os::readProcFile("/proc/" + std::to_string(pid) + "/sessionid", 64).value_or(""); };
  if (id(login.pid) == id(::getpid())) GTEST_SKIP() << "the kernel keeps the login session here (loginuid immutable)";
  const auto theirs = sessionOf(login.pid), ours = sessionOf(::getpid());
  EXPECT_TRUE(theirs->loginSession && theirs->loginSession != ours->loginSession);
  EXPECT_EQ(ours->loginSession.has_value(), id(::getpid()) != "4294967295");
}

// The program an instance of an executable file runs as: the file itself, or
// the interpreter its first line names with the script in which argument
// slot; "-" where none can run it (cases/scripts.tsv).
class ScriptTable : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(ScriptTable, RunsAsTheProgramItsFirstLineNames) {
  const auto& c = GetParam().fields;
  testing::TempDir dir;
  const auto file = dir.write("tool", c[0], true).string();
  const auto program = programIdentityOf(file);
  EXPECT_EQ(!program ? "-\t-"
                     : (program->executable == fileIdentityOf(c[1] == "itself" ? file : c[1]) ? c[1] : "another") +
                           "\t" + (program->script == fileIdentityOf(file) ? std::to_string(program->scriptArgument) : "-"),
            c[1] + "\t" + c[2]);
}

INSTANTIATE_TEST_SUITE_P(Files, ScriptTable,
                         ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/scripts.tsv")),
                         testing::caseName);

// A session bus of the test's own, ended with the test.
struct PrivateBus {
  std::string address;
  pid_t pid = -1;
  PrivateBus() {
    std::istringstream said(
        testing::runProgram({"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"}).output);
    said >> address >> pid;  // printed in this order
    if (!address.starts_with("unix:")) address.clear();
  }
  ~PrivateBus() { if (pid > 0) ::kill(pid, SIGTERM); }
  std::vector<std::string> environment() const { return {"DBUS_SESSION_BUS_ADDRESS=" + address}; }
  bool owns(const std::string& name, pid_t owner) const { return busNameOwners(address, {name})[0] == owner; }
};

const std::filesystem::path kBusPeer = MARROWFIELD_BUS_PEER;
constexpr const char* kPeerName = "org.marrowfield.TestPeer";

class WorkspaceTest : public ::testing::Test {
 protected:
  Launched launch(const std::filesystem::path& path, const LaunchOptions& options = {}) {
    auto promise = std::make_shared<std::promise<Launched>>();
    auto future = promise->get_future();
    workspace.openApplication(path, options, [promise, main = std::this_thread::get_id()](auto error, auto application) {
      promise->set_value({std::move(error), std::move(application), std::this_thread::get_id() == main});
    });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }

  pid_t launchOk(const std::filesystem::path& path, const LaunchOptions& options = {}) {
    const auto launched = launch(path, options);
    EXPECT_FALSE(launched.error) << *launched.error;
    return launched.application ? launched.application->processIdentifier() : -1;
  }

  // Registers an observer, does `then` and runs the main queue until it reports.
  std::optional<TerminationNotification> awaitTermination(std::int32_t pid, const std::function<void()>& then = {}) {
    std::optional<TerminationNotification> got;
    auto observer = workspace.addTerminationObserver(pid, [&](const TerminationNotification& notification) {
      EXPECT_TRUE(queue.isMainThread());
      got = notification;
    });
    if (then) then();
    queue.runUntil([&] { return got.has_value(); }, 10);
    return got;
  }

  EventLoopMainQueue queue;
  LinuxWorkspace workspace{queue};
  testing::TempDir dir;
};

TEST_F(WorkspaceTest, LaunchFailuresCarryTheSystemsDescription) {
  // What failed is named: the program, or the working directory.
  const std::string at = dir.path().string() + "/";
  // A program that is nowhere; with a PATH directory this user may not search
  // (root's PATH kept by runuser) the system would answer EACCES instead.
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
  const auto entry = [&](const std::string& name, const std::string& lines) {
    return dir.write(name, "[Desktop Entry]\nType=Application\n" + lines + "\n");
  };
  const std::pair<std::filesystem::path, std::string> cases[] = {
      {dir.write("tool", "#!/bin/sh\necho hi\n", false), at + "tool: Permission denied"},
      {at + "missing", at + "missing: No such file or directory"},
      {entry("gone.desktop", "Exec=marrowfield-no-such-program"),
       "marrowfield-no-such-program (Exec of gone.desktop): No such file or directory (not found in PATH)"},
      {entry("bad.desktop", "Exec=\"open"), at + "bad.desktop: invalid Exec: unterminated quote in Exec"},
      {entry("wd.desktop", "Exec=true\nPath=/nonexistent"), "/nonexistent (Path of " + at + "wd.desktop): No such file or directory"},
  };
  for (const auto& [path, expected] : cases) {
    const auto launched = launch(path);
    EXPECT_EQ(launched.error, expected);
    EXPECT_FALSE(launched.application || launched.onMainThread) << path;
  }
  ::setenv("PATH", oldPath.c_str(), 1);
}

TEST_F(WorkspaceTest, TerminationWatchReportsExitCodesAndSignalsAndEveryChildIsReaped) {
  os::becomeChildSubreaper();  // as where the kernel's process events are not ours: orphans come to us
  const auto demo = testing::privateDemo(dir);
  // Warm up what is created once (the watcher thread, the journal socket,
  // which the forwarder's thread opens with its first line).
  awaitTermination(launchOk(testing::writeDemoDesktopEntry(dir, "demo", demo, "")));
  // Its stdout handed to the journal, none of it said lost (journald's own answer).
  ::testing::internal::CaptureStderr();
  JournalForwarder::shared().finish(std::chrono::seconds(10));
  EXPECT_TRUE(::testing::internal::GetCapturedStderr().empty() || testing::JournalEnvironment::missing);
  const auto descriptors = testing::openDescriptorCount();
  // A crash that dumped core (the kernel then says CLD_DUMPED) is a signal too.
  const auto dumps = dir.write("dumps", "#!/bin/sh\ncd '" + dir.path().string() + "' && ulimit -c unlimited && exec '" +
                                            demo.string() + "' --crash\n", true);
  // A name with quotes, shell syntax, a newline and bytes that are not UTF-8
  // is one argument, and the journal stream's identifier: a newline there
  // used to end the stream's header early, journald hung up and the target
  // died of SIGPIPE at its first line on stderr.
  const auto odd = dir.write("we'ird \"name\" $(x)\n\xff\xfe", "#!/bin/sh\necho 'on stderr' >&2\n", true);
  const struct {
    std::filesystem::path path;
    ExitStatus expected;
    bool watchedLate;  // registered only once the process is gone and reaped
  } cases[] = {
      {testing::writeDemoDesktopEntry(dir, "zero", demo, ""), {false, 0}, false},
      {testing::writeDemoDesktopEntry(dir, "three", demo, "--exit 3"), {false, 3}, true},
      {testing::writeDemoDesktopEntry(dir, "crash", demo, "--crash"), {true, SIGSEGV}, false},
      {dumps, {true, SIGSEGV}, false}, {odd, {false, 0}, false},
      {testing::writeDemoDesktopEntry(dir, "helper", demo, "--fork-child"), {false, 0}, false},  // its helper is ours to reap
  };
  for (const auto& c : cases) {
    const auto pid = launchOk(c.path);
    if (c.watchedLate) {
      ASSERT_TRUE(waitFor([&] { return !testing::processExists(pid); }));
      launchOk(c.path);  // its end is kept while a later child is adopted
    }
    const auto notification = awaitTermination(pid);
    ASSERT_TRUE(notification && notification->application && notification->exitStatus) << c.path;
    EXPECT_EQ(notification->exitStatus->signaled, c.expected.signaled) << c.path;
    EXPECT_EQ(notification->exitStatus->code, c.expected.code) << c.path;
    launchOk(c.path);  // nobody watches this one: it is reaped all the same
  }
  EXPECT_TRUE(waitFor([] { return testing::childProcesses().empty(); }));  // none left running, none unreaped
  EXPECT_TRUE(waitFor([&] { return testing::openDescriptorCount() == descriptors; }))
      << testing::openDescriptorCount() << " vs " << descriptors;

  // An observer destroyed before the end hears nothing; another one does,
  // also of the later of two running children, with nothing else to wake the watcher.
  const auto stay = testing::writeDemoDesktopEntry(dir, "stay", demo, "--stay");
  const auto earlier = launchOk(stay);
  const auto pid = launchOk(stay);
  bool removedCalled = false;
  auto removed = workspace.addTerminationObserver(pid, [&](const auto&) { removedCalled = true; });
  removed.reset();
  EXPECT_TRUE(awaitTermination(pid, [&] { ASSERT_TRUE(testing::signalOwnChild(pid, SIGTERM)); }));
  queue.drain();
  EXPECT_FALSE(removedCalled);
  EXPECT_TRUE(awaitTermination(earlier, [&] { testing::signalOwnChild(earlier, SIGTERM); }));
}

// Multi-call programs (busybox, vim as ex) read argv[0]: a symlink is
// started as the symlink, while its identifier is the file it points to. Qt
// programs started by the target (a traced terminal's too) inherit the level
// pattern wherever their stderr goes; a launch may ask for none. An Exec
// line's shell syntax reaches the program as plain arguments.
TEST_F(WorkspaceTest, WhatTheTargetIsStartedWith) {
  const auto script = dir.write("real.sh",
                                "#!/bin/sh\necho \"started as $0\"\necho \"pattern: ${QT_MESSAGE_PATTERN:-none}\"\n"
                                "for a in \"$@\"; do printf 'arg=[%s]\\n' \"$a\"; done\necho the end\n", true);
  const auto link = dir.path() / "alias";
  std::filesystem::create_symlink(script, link);
  EXPECT_EQ(workspace.bundleIdentifier(link), std::filesystem::canonical(script).string());
  const std::string c = (dir.path() / "pwned").string();
  // Quoted, \\$ is the entry's escape for a literal $.
  const auto hostile = dir.write("hostile.desktop", "[Desktop Entry]\nType=Application\nExec=\"" + link.string() +
                                                        "\" \"\\\\$(touch " + c + ")\" \"a b\" ;|`touch` >" + c + " %f %%u\n");
  for (const auto& path : {link, hostile}) {
    LineCollector lines;
    LaunchOptions options;
    options.output = lines.sink();
    options.qtLevelPrefix = path == link;
    ASSERT_TRUE(awaitTermination(launchOk(path, options)));
    EXPECT_TRUE(waitFor([&] { return lines.contains("the end"); })) << lines.joined();
    EXPECT_TRUE(lines.contains("started as " + link.string())) << lines.joined();
    // Only a journal stream reads the level in front; a pipe would show it.
    EXPECT_EQ(lines.contains("pattern: none"),
              path != link || journalUnavailableReason(LinuxWorkspace::Options{}.journalSocket)) << lines.joined();
    EXPECT_EQ(lines.contains("arg=[$(touch " + c + ")]\narg=[a b]\narg=[;|`touch`]\narg=[>" + c + "]\narg=[%u]\n"),
              path == hostile) << lines.joined();
  }
  EXPECT_FALSE(std::filesystem::exists(c));
}

TEST_F(WorkspaceTest, FreshLaunchFindsAndQuitsOnlyInstancesOfTheApplication) {
  // A copy of the demo is an application of its own (its own inode).
  const auto copy = testing::privateDemo(dir, "demo");
  const std::string identifier = workspace.bundleIdentifier(copy);
  ASSERT_EQ(identifier, std::filesystem::canonical(copy).string());
  const auto first = launchOk(testing::writeDemoDesktopEntry(dir, "copy", copy, "--stay"));

  // The same program outside our session: another user's (never ours to
  // quit, also as root), and ours on another display with another bus.
  struct ScratchUser {
    std::string name = "mfuser" + testing::randomSuffix();
    bool made = ::getuid() == 0 &&
                testing::runProgram({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name})
                        .status == 0;
    ~ScratchUser() { testing::runProgram({"userdel", name}); }
  } user;
  const passwd* account = user.made ? ::getpwnam(user.name.c_str()) : nullptr;
  std::optional<Bystander> otherUser;
  if (account) {
    otherUser.emplace(std::vector<std::string>{"setpriv", "--reuid=" + std::to_string(account->pw_uid),
                                               "--regid=" + std::to_string(account->pw_gid), "--clear-groups", "--",
                                               copy, "--stay"});
    ASSERT_TRUE(waitFor([&] { return otherUser->runs(copy); }));
  }
  Bystander elsewhere({copy, "--stay"}, {"DISPLAY=:97", "WAYLAND_DISPLAY=marrowfield-elsewhere",
                                         "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/marrowfield-bus"});
  ASSERT_TRUE(waitFor([&] { return elsewhere.runs(copy); }));

  // Found both by its executable identifier and by its desktop entry's.
  ASSERT_EQ(workspace.bundleIdentifier(dir.path() / "copy.desktop"), "copy");
  for (const auto& id : {identifier, std::string("copy")}) {
    const auto running = workspace.runningApplications(id);
    ASSERT_EQ(running.size(), 1u) << id;
    EXPECT_EQ(running[0]->processIdentifier(), first);
  }
  // Quit only once the demo catches SIGTERM, so its orderly exit is what we see.
  const auto running = workspace.runningApplications(identifier);
  ASSERT_TRUE(waitFor([&] { return testing::signalInMask(first, "SigCgt:", SIGTERM); }));
  // Asked by a process younger than the instance, as Marrowfield usually is.
  int asked = -1;
  if (const pid_t asker = ::fork(); asker == 0) ::_exit(running[0]->terminate() ? 0 : 1); else ::waitpid(asker, &asked, 0);
  EXPECT_EQ(asked, 0);
  const auto ended = awaitTermination(first);
  ASSERT_TRUE(ended && ended->exitStatus);
  EXPECT_EQ(ended->exitStatus->code, 0);  // the demo's orderly SIGTERM exit
  EXPECT_FALSE(running[0]->terminate());  // gone: nothing delivered
  EXPECT_FALSE(LinuxRunningApplication(::getpid()).terminate());  // never Marrowfield itself
  EXPECT_TRUE(elsewhere.runs(copy));
  EXPECT_TRUE(!otherUser || otherUser->runs(copy));
  // One found without a pidfd takes its own to signal through.
  EXPECT_TRUE(LinuxRunningApplication(elsewhere.pid).terminate());
  EXPECT_TRUE(waitFor([&] { return !elsewhere.runs(copy); }));

  // A launcher program (env, a shell) says nothing about which app runs.
  dir.write("wrapped.desktop", "[Desktop Entry]\nType=Application\nExec=env FOO=1 sleep 30\n");
  workspace.bundleIdentifier(dir.path() / "wrapped.desktop");
  for (const char* id : {"wrapped", "", "no-such-app"}) EXPECT_TRUE(workspace.runningApplications(id).empty()) << id;

  // A script runs under its interpreter, which the kernel gives the script's
  // path after the shebang line's argument; `tail -f` of it merely names it.
  const auto otherScript = dir.write("loop.sh", "#!/bin/sh\nexec sleep 30\n", true);
  for (const std::string shebang : {"#!/bin/sh -e", "#!/usr/bin/env sh"}) {
    const auto script = dir.write("waiter.sh", shebang + "\nwhile :; do sleep 1; done\n", true);
    Bystander tail({"/usr/bin/tail", "-f", script});
    ASSERT_TRUE(waitFor([&] { return tail.runs("/usr/bin/tail"); }));
    const auto waiter = launchOk(script);
    const auto scriptId = workspace.bundleIdentifier(script);
    ASSERT_TRUE(waitFor([&] { return workspace.runningApplications(scriptId).size() == 1; })) << shebang;
    EXPECT_EQ(workspace.runningApplications(scriptId)[0]->processIdentifier(), waiter);
    EXPECT_TRUE(workspace.runningApplications(workspace.bundleIdentifier(otherScript)).empty());
    EXPECT_TRUE(workspace.runningApplications(scriptId)[0]->terminate());
    EXPECT_TRUE(awaitTermination(waiter));
    EXPECT_TRUE(tail.runs("/usr/bin/tail"));
  }
}

// A single-instance program launched while its instance runs on the
// launch's bus calls that instance and exits 0: a hand-off, naming the
// instance. Exiting 0 without a call (`--version`), a call followed by a
// failure (exit 1), or a call to it from another program, is none.
class HandOffTest : public WorkspaceTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(HandOffTest, IsReportedOnlyWhenTheLaunchCalledItsRunningInstance) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address.empty()) << "dbus-daemon did not start";
  const auto peer = testing::privateDemo(dir, "peer", kBusPeer);
  Bystander instance({peer, "app", kPeerName}, bus.environment());
  ASSERT_TRUE(waitFor([&] { return bus.owns(kPeerName, instance.pid); }));
  LaunchOptions options;
  options.arguments = GetParam() == "PrintsItsVersion" ? Argv{"version"}
                     : GetParam() == "CallsAndFails"  ? Argv{"app", kPeerName, "1"}
                                                      : Argv{"app", kPeerName};
  options.environment = {{"DBUS_SESSION_BUS_ADDRESS", bus.address}};
  const auto launched = GetParam() != "AnotherProgramCalls" ? peer : testing::privateDemo(dir, "other", kBusPeer);
  const auto ended = awaitTermination(launchOk(launched, options));
  ASSERT_TRUE(ended && ended->exitStatus);
  EXPECT_EQ(ended->exitStatus->code, GetParam() == "CallsAndFails" ? 1 : 0);
  EXPECT_EQ(ended->handedOffTo, GetParam() == "CallsTheInstance" ? std::optional<std::int32_t>(instance.pid) : std::nullopt);
  EXPECT_TRUE(testing::processExists(instance.pid));
}

INSTANTIATE_TEST_SUITE_P(Launches, HandOffTest,
                         ::testing::Values("CallsTheInstance", "CallsAndFails", "PrintsItsVersion", "AnotherProgramCalls"),
                         [](const auto& info) { return info.param; });

// The watch lasts as long as a hand-off may take, but ends when it is
// dropped: a trace's end must not wait for it.
TEST(BusCallWatch, EndsWhenDroppedNotAtTheEndOfItsLifetime) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address.empty()) << "dbus-daemon did not start";
  std::shared_ptr<BusCallWatch> watch = BusCallWatch::start(bus.address, std::chrono::hours(1));
  ASSERT_TRUE(watch);
  // Asked with an hour to settle, it answers once the bus has passed on its own mark.
  EXPECT_TRUE(watch->namesCalledBy(::getpid(), std::chrono::hours(1)).empty());
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread([watch = std::move(watch), ended]() mutable {
    watch.reset();
    *ended = true;
  }).detach();
  EXPECT_TRUE(waitFor([&] { return ended->load(); }));
}

// The target goes into a scope of the user manager's, held stopped until the
// manager's job has run; the unit is ours only when the job ended "done".
// A manager that never answers is given up on at the deadline.
class ApplicationScopeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ApplicationScopeTest, TheTargetIsHeldUntilTheManagersJobEnds) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address.empty()) << "dbus-daemon did not start";
  testing::TempDir dir;
  const auto request = dir.path() / "request";
  Bystander manager({kBusPeer, "manager", GetParam(), request}, bus.environment());
  ASSERT_TRUE(waitFor([&] { return bus.owns("org.freedesktop.systemd1", manager.pid); }));
  // The user bus, as sd-bus finds it; this process is a test of its own.
  const char* before = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = before ? before : "";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
  // A target that leads its process group and has forked a helper: both go
  // into the scope, held.
  Bystander target({"setsid", "sh", "-c", "sleep 60 & exec sleep 60"});
  ASSERT_TRUE(waitFor([&] { return target.runs("/usr/bin/sleep") && testing::childProcesses(target.pid).size() == 1; }));
  const pid_t helper = testing::childProcesses(target.pid)[0].pid;
  const auto unit = startApplicationScope(target.pid, "org.example.Tool");
  // A second launch from the same Marrowfield asks for another name (the same one would be refused).
  const auto second = startApplicationScope(target.pid, "org.example.Tool");
  before ? ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1) : ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

  std::ifstream asked(request);
  std::string name, pids;
  asked >> name;
  std::getline(asked, pids);
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(app-marrowfield-org\.example\.Tool-[0-9a-f]{8}\.scope)"))) << name;
  EXPECT_EQ(pids, " " + std::to_string(target.pid) + ":T " + std::to_string(helper) + ":T Description=Traced by Marrowfield: "
                  "org.example.Tool CollectMode=inactive-or-failed");
  EXPECT_EQ(second, GetParam() == "done" ? std::optional<std::string>(name) : std::nullopt);
  EXPECT_TRUE(!unit || unit != second) << name;
  EXPECT_TRUE(waitFor([&] { return os::processStatOf(target.pid).value_or(os::ProcessStat{}).state != 'T'; }))
      << "the target is still stopped";
  ::kill(helper, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Jobs, ApplicationScopeTest, ::testing::Values("done", "failed", "refuse", "silent", "endless"),
                         [](const auto& info) { return info.param; });

// A parent of many: its children are more than one read of /proc holds.
TEST(Instances, EveryChildOfAParentOfManyIsFound) {
  const Bystander parent({"setsid", "sh", "-c", "for i in $(seq 1500); do sleep 600 & done; exec sleep 600"});
  EXPECT_TRUE(waitFor([&] { return os::childrenOf(parent.pid).size() == 1500; })) << os::childrenOf(parent.pid).size();
}

// Two login sessions the kernel tells apart are two sessions, whatever the
// display and bus say; where one has none, the display and bus decide.
TEST(Instances, ALoginSessionTheKernelTellsApartIsAnotherSession) {
  const SessionIdentity own{1000, 3, ":0", std::nullopt, "unix:path=/run/user/1000/bus"};
  auto other = own;
  for (const std::uint32_t login : {2u, 4u}) {
    other.loginSession = login;
    EXPECT_FALSE(sameSession(own, other)) << login;
  }
  other.loginSession.reset();
  EXPECT_TRUE(sameSession(own, other));
}

// With a journal that takes nothing, the queue stays within its bytes; once
// the journal takes again, every line was either sent or counted. A later
// launch given the same pid starts with a full budget, and a source past its
// burst is heard again in the next interval. No line is counted twice.
TEST(JournalForwarder, TheQueueIsBoundedAndEveryLineIsSentOrCounted) {
  std::mutex mutex;
  std::condition_variable taking;
  bool journalRuns = false;
  std::vector<std::string> sent;
  JournalForwarder forwarder(
      [&](const std::string&, std::int32_t, std::string_view text) {
        std::unique_lock lock(mutex);
        taking.wait(lock, [&] { return journalRuns; });
        sent.emplace_back(text.substr(0, 100));
        return true;
      },
      std::chrono::milliseconds(100));
  auto source = forwarder.open("flood", 4242);
  for (int i = 0; i < 1000; ++i) source->forward(LineBatch::of({std::string(100 * 1024, 'x')}));
  EXPECT_LE(forwarder.peakQueuedBytes(), JournalForwarder::kQueueBytes);
  EXPECT_GT(forwarder.peakQueuedBytes(), JournalForwarder::kQueueBytes / 2);
  // Exiting now, what the journal did not take is said on stderr: all of it,
  // the lines queued and those counted in the queued note alike.
  ::testing::internal::CaptureStderr(), forwarder.finish(std::chrono::milliseconds(10));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("marrowfield: 1000 lines"), std::string::npos);
  { std::lock_guard lock(mutex); journalRuns = true; }
  taking.notify_all();
  // Lines sent and lines counted in the notes; the last note comes by itself.
  const auto accounted = [&] {
    std::lock_guard lock(mutex);
    return std::accumulate(sent.begin(), sent.end(), std::size_t{0}, [](std::size_t n, const std::string& text) { return n + (text.starts_with("marrowfield: ") ? std::stoul(text.substr(13)) : 1); });
  };
  EXPECT_TRUE(waitFor([&] { return accounted() == 1000; }));

  std::size_t forwarded = 1000 + 2 * (JournalForwarder::kBurstLines + 1);
  const auto lastSent = [&](const std::string& line, auto& to) {
    ++forwarded, to->forward(LineBatch::of({line})), forwarder.flush();
    std::lock_guard lock(mutex);
    return sent.back() == line;
  };
  LineBatch burst;
  for (std::size_t i = 0; i <= JournalForwarder::kBurstLines; ++i) burst.add("burst");
  source->forward(burst);
  source.reset();
  auto reused = forwarder.open("flood", 4242);
  EXPECT_TRUE(lastSent("after the pid came back", reused));
  reused->forward(burst);
  EXPECT_TRUE(waitFor([&] { return lastSent("after the interval", reused); }));
  // Every line once, sent or counted in a note, through both intervals and both ends.
  reused.reset(), forwarder.flush();
  EXPECT_EQ(accounted(), forwarded);
  ::testing::internal::CaptureStderr(), forwarder.finish(std::chrono::milliseconds(10));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "what the first finish said is not said again";
}

}  // namespace
}  // namespace mf
