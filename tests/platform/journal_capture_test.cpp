// SPDX-License-Identifier: GPL-3.0-or-later
// What a trace takes from the journal: which entries belong to the launched
// process tree, and how each reads, the kernel's lines among them; the fork
// events of a real process tree.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analysis/classify.h"
#include "platform/fork_records.h"
#include "platform/journal_capture.h"
#include "platform/process_tree.h"
#include "platform/spawn.h"
#include "platform/system_clock.h"
#include "platform/user_scope.h"
#include "platform_test_support.h"
#include "support/cases.h"

namespace mf {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

const std::string kGolden = MARROWFIELD_PLATFORM_GOLDEN_DIR;

// One entry from its export fields, written "KEY=value|KEY=value".
JournalEntry entryOf(std::string fields) {
  std::replace(fields.begin(), fields.end(), '|', '\n');
  return testing::parseJournalExport("MESSAGE=m\n" + fields + "\n").at(0);
}

// The launched tree as its root alone, whatever runs on this machine; or
// as every process there is.
struct RootAlone final : TreeSource {
  explicit RootAlone(bool everyone = false, std::uint64_t goneAt = 0) : everyone(everyone), goneAt(goneAt) {}
  void setRoot(pid_t pid, std::shared_ptr<LaunchWitness> /*witness*/) override { root = pid; }
  // A datagram sent after the root's end (goneAt, where set) is a newcomer's under its number.
  bool contains(pid_t pid, std::string_view /*name*/, std::uint64_t sent) override { return (pid == root || everyone) && (!goneAt || !sent || sent <= goneAt); }
  pid_t root = 0;
  bool everyone;
  std::uint64_t goneAt;
};

// Every entry of the golden export, as the trace of the process tree 4242 (with children 4243, 4244) in the scope
// app-marrowfield-calc-0badcafe.scope shows it: captured or not, the
// classification, where it came from (and whether a library's GLib domain
// said it), when it was written (the sender's own
// time where the entry has one) and the rendered line.
TEST(JournalCapture, GoldenEntriesAreDecidedRenderedAndClassified) {
  CaptureScope scope{"calc", "calc", 99999, 4242, "app-marrowfield-calc-0badcafe.scope", "", ""};
  const auto isMember = [](pid_t pid) { return pid == 4242 || pid == 4243 || pid == 4244; };
  const LineClassifier classifier("org.gnome.Calculator");
  std::string got;
  for (const auto& entry : testing::parseJournalExport(readFile(kGolden + "/captured.export"))) {
    if (captureVerdict(entry, scope, isMember) != Verdict::capture) {
      got += "skip\t" + entry.message.substr(0, 40) + "\n";
      continue;
    }
    std::string line = renderJournalEntry(entry, scope);
    const LineInfo info = journalLineInfo(entry, scope);
    const Classification c = classifier.classify(trimWhitespace(line), info);
    std::replace(line.begin(), line.end(), '\n', '|');
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", info.time);
    got += std::string(label(c.type)) + "\t" + std::string(c.source) + "\t" + (c.isRoutineNoise ? "noise" : "-") +
           "\t" + std::string(originName(info.origin)) + (info.libraryDomain ? " library" : "") + "\t" + time + "\t" +
           line + "\n";
  }
  testing::expectGolden(kGolden + "/captured.tsv", got);
}

// The cases, with why they are so: cases/capture_verdicts.tsv.
TEST(JournalCapture, TheTreeTheStreamAndNothingElse) {
  const std::map<std::string, Verdict> verdicts = {
      {"capture", Verdict::capture}, {"skip", Verdict::skip}, {"undecided", Verdict::undecided}};
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/capture_verdicts.tsv")) {
    std::string fields = c.at(1);
    for (const auto& [name, id] :
         {std::pair{"$COREDUMP", kCoredumpMessageId}, std::pair{"$DROPPED", kJournalDroppedMessageId}}) {
      if (const auto at = fields.find(name); at != std::string::npos) fields.replace(at, std::string_view(name).size(), id);
    }
    const CaptureScope scope{"calc", "calc", 99999, std::stoi(c.at(2)), "app-marrowfield-calc-1.scope", c.at(3), ""};
    const auto got = captureVerdict(entryOf(fields), scope, [](pid_t pid) { return pid == 4242 || pid == 4243; });
    EXPECT_EQ(static_cast<int>(got), static_cast<int>(verdicts.at(c.at(4)))) << c.at(0);
  }
}

TEST(JournalCapture, EntriesBeforeTheLaunchIsKnownWaitAndKeepTheirOrder) {
  testing::LineCollector lines;
  JournalCapture capture({"calc", "calc", 99999, 0, "", "", "the kernel's messages do not reach the journal here"},
                         lines.sink(), std::make_unique<RootAlone>(false, 1796611968000000));
  // Our word that the kernel's messages are missing here, and the kernel's
  // that it left lines out, are the trace's once its launch is known, in
  // their place among the lines.
  capture.take(entryOf("_TRANSPORT=kernel|MESSAGE=printk: 4 output lines suppressed due to ratelimiting"));
  capture.take(entryOf("_PID=1|_TRANSPORT=journal|SYSLOG_IDENTIFIER=calc|MESSAGE=init says something"));
  capture.take(entryOf("_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|MESSAGE=stream line of a gone writer"));
  capture.flush();
  capture.follow(0, "");  // a launch that never got a PID: nothing known yet
  EXPECT_TRUE(lines.lines().empty()) << "nothing before the launched process is known";
  capture.follow(4242, "");
  capture.take(entryOf("_PID=4242|_TRANSPORT=journal|SYSLOG_IDENTIFIER=calc|MESSAGE=after"));
  // A helper that left before it could be placed wrote on a stream of the
  // target's name: its line waits until a member's line says which stream
  // is the target's, and only that stream's lines are taken.
  const std::string stream = "|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|_STREAM_ID=";
  capture.take(entryOf("_PID=999998" + stream + "ours|MESSAGE=a helper's line"));
  capture.take(entryOf("_PID=999997" + stream + "theirs|MESSAGE=another launch's line"));
  capture.flush();
  EXPECT_EQ(lines.lines().size(), 4u) << lines.joined();
  capture.take(entryOf("_PID=4242" + stream + "ours|MESSAGE=the target's line"));
  // The crash report comes after the crashed root's end: it speaks of the root, which did not send it.
  capture.take(entryOf("_PID=77|_COMM=systemd-coredum|_UID=0|_TRANSPORT=journal|SYSLOG_IDENTIFIER=systemd-coredump|MESSAGE_ID=" +
                       std::string(kCoredumpMessageId) + "|COREDUMP_PID=4242|_SOURCE_REALTIME_TIMESTAMP=1796611969000000|MESSAGE=Process 4242 (calc) dumped core."));
  capture.flush();
  EXPECT_EQ(lines.joined(), "warning: the kernel's messages do not reach the journal here, so crashes, out-of-memory "
                            "kills and denials of calc that only the kernel reports cannot be shown\n"
                            "kernel: warning: the kernel left out some of its messages (\"printk: 4 output lines "
                            "suppressed due to ratelimiting\"), so crashes of calc may be missing from this trace\n"
                            "calc[4242]: stream line of a gone writer\ncalc[4242]: after\ncalc[999998]: a helper's line\n"
                            "calc[4242]: the target's line\nsystemd-coredump[77]: calc[4242] crashed. Process 4242 (calc) dumped core.\n");
}

unsigned long long ticksNow() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return (now.tv_sec * 1000000000ULL + now.tv_nsec) / (1000000000ULL / ::sysconf(_SC_CLK_TCK));
}

// Hands `number` to a new process of ours, outside any tree, two clock ticks
// after `since` at least (start times count in ticks); -1 when the kernel
// would not. The caller kills it.
pid_t handOver(pid_t number, unsigned long long since) {
  if (!testing::waitFor([&] { return ticksNow() > since + 1; })) return -1;
  std::ofstream("/proc/sys/kernel/ns_last_pid") << number - 1;
  const pid_t stranger = ::fork();
  if (stranger == 0) for (;;) ::pause();
  return stranger;
}

std::uint64_t microsNow() { return static_cast<std::uint64_t>(wallClockNow() * 1e6); }

// With fork events, a member's threads are no new processes: a thread's
// fork event names the parent of its whole group as its parent, and a member
// that starts threads is still one, after they end too. Its number, once a
// stranger's fork takes it, is the stranger's. (Children and grandchildren
// that outlive their parent are followed in the journal stream's and the
// trace's tests.)
TEST(ProcessTree, AMemberThatStartsThreadsIsStillOne) {
  // The kernel offers its process events to CAP_NET_ADMIN (bit 12, counted from 1 as signals are) in its first
  // pid and user namespaces (whose numbers are fixed), where its own connector socket (protocol 11, port 0) is
  // in our network namespace. A tree that could not open them would still run, on /proc alone.
  const auto ours = [](const std::string& ns) { return std::filesystem::read_symlink("/proc/self/ns/" + ns.substr(0, ns.find(':'))) == ns; };
  if (!testing::signalInMask(::getpid(), "CapEff:", 12 + 1) || !ours("pid:[4026531836]") || !ours("user:[4026531837]") ||
      readFile("/proc/self/net/netlink").find(" 11  0 ") == std::string::npos) {
    GTEST_SKIP() << "no process-event connector here (it needs CAP_NET_ADMIN in the first namespaces)";
  }
  ASSERT_TRUE(ProcessTree().seesForks()) << "the kernel offers its process events here";
  testing::TempDir dir;
  const auto go = dir.path() / "go", ready = dir.path() / "ready";
  const pid_t python = os::spawnProcess({{"/usr/bin/python3", "-c", "import os, threading, time\nwhile not os.path.exists('" + go.string() + "'): time.sleep(0.01)\n"
                  "[t.start() or t.join() for t in [threading.Thread(target=time.sleep, args=(0,)) for _ in range(3)]]\nchild = os.fork() "
                  "or time.sleep(30) or os._exit(0); open('" + ready.string() + "', 'w').write(str(child)); time.sleep(30)"}, false, -1, -1, -1, {}, {}}).pid;
  ProcessTree tree;
  tree.setRoot(python);
  std::ofstream{go};
  ASSERT_TRUE(testing::waitFor([&] { return !readFile(ready).empty(); }));
  const pid_t child = std::stoi(readFile(ready));
  EXPECT_TRUE(tree.contains(python) && tree.contains(child));
  EXPECT_FALSE(tree.contains(::getpid()));
  const std::uint64_t beforeEnd = microsNow();
  ::kill(child, SIGKILL), ::kill(python, SIGKILL);
  ::waitpid(python, nullptr, 0);
  // Its number in a stranger's hands is the stranger's from that fork on, but what the member sent before is its own.
  // (Others fork on this machine too: one may take the number first.)
  if (const pid_t stranger = handOver(python, 0); stranger > 0) {
    EXPECT_TRUE(stranger != python || (!tree.contains(stranger) && !tree.contains(stranger, {}, microsNow())));
    EXPECT_TRUE(stranger != python || tree.contains(stranger, {}, beforeEnd)) << "what the member sent before";
    ::kill(stranger, SIGKILL), ::waitpid(stranger, nullptr, 0);
  }
}

// Runs as pid 1 of a pid namespace of its own, where no process-event
// connector reaches and ns_last_pid is ours to set: the tree stands on /proc
// alone, and a member's pid can be handed to a newcomer on purpose. Returns
// 0, or the number of the check that failed (77: the pid could not be reused
// here).
int pidReuseFromProc() {
  ProcessTree tree;
  int report[2];
  if (tree.seesForks() || ::pipe(report) != 0) return 1;
  const pid_t root = ::fork();
  if (root == 0) {
    ::setsid();
    // A helper in a process group of its own: only its session names the root.
    const pid_t helper = ::fork();
    if (helper != 0 && ::setpgid(helper, helper) == 0) (void)!::write(report[1], &helper, sizeof helper);
    // Another in a session of its own: only its parent names the root.
    ::usleep(30 * 1000);  // and some ticks younger than the root
    pid_t loner = helper != 0 ? ::fork() : -1;
    if (loner == 0 && ::setsid() > 0) loner = ::getpid(), (void)!::write(report[1], &loner, sizeof loner);
    // And its child, in a session of its own too: once the loner ends, only the tree's look at children finds it.
    pid_t late = loner == ::getpid() ? ::fork() : -1;
    if (late == 0 && ::setsid() > 0) late = ::getpid(), (void)!::write(report[1], &late, sizeof late);
    for (;;) ::pause();
  }
  pid_t helper = 0, loner = 0, late = 0;
  for (pid_t* pid : {&helper, &loner, &late}) if (::read(report[0], pid, sizeof *pid) != sizeof *pid) return 3;
  tree.setRoot(root);
  if (!tree.contains(loner)) return 10;
  tree.discoverChildren();
  ::kill(loner, SIGKILL);  // the root, which never waits, keeps it as a zombie
  if (!testing::waitFor([&] { return os::processStatOf(late).value_or(os::ProcessStat{}).parent == 1; }) || !tree.contains(late)) return 12;
  // A newcomer in a session of its own, linked to nothing of the tree (it ends with the namespace).
  const os::SpawnRequest newcomer{{"/bin/sleep", "600"}, false, -1, -1, -1, {}, {}, /*newSession=*/true};
  if (tree.contains(os::spawnProcess(newcomer).pid)) return 11;
  const auto rootStart = os::statFieldOf(root, 22);
  const std::string rootName = os::processStatOf(root)->name;  // its comm, as journald reads it
  // The root ends, unasked about its helper, which init adopts; the helper
  // keeps the root's session.
  ::kill(root, SIGKILL);
  ::waitpid(root, nullptr, 0);
  if (!tree.contains(root, rootName)) return 5;  // within the grace after its exit
  // A newcomer under its number that ended before anyone looked: only the
  // journal's record of the sender's name tells them apart.
  if (tree.contains(root, "logger")) return 9;
  if (!tree.contains(helper)) return 6;  // still known by its session
  // The kernel keeps a number while a session is named after it.
  ::kill(helper, SIGKILL);
  ::waitpid(helper, nullptr, 0);
  const pid_t stranger = rootStart ? handOver(root, *rootStart) : -1;
  const int result = !rootStart                                                          ? 4
                     : stranger != root || os::statFieldOf(stranger, 22) == rootStart ? 77
                     : tree.contains(stranger)                                          ? 7
                                                                                        : 0;
  if (stranger > 0) ::kill(stranger, SIGKILL), ::waitpid(stranger, nullptr, 0);
  return result;
}

// The same with the launch's own fork records (what an ordinary user has
// where the kernel allows it): a helper that ended before anyone looked is
// a member by its records, under the name its exec gave it, and its number
// in a stranger's hands is not, within the grace too; but a datagram the
// helper sent before its exit is still its own. It comes after a burst of
// three hundred others, whose records wait unread in the rings meanwhile:
// none is lost. 78: no records here.
int pidReuseFromRecords() {
  ProcessTree tree;
  const std::string pidFile = "/tmp/quick-helper-" + std::to_string(::getppid());
  os::SpawnRequest request;
  request.argv = {"/bin/sh", "-c", "for i in $(seq 300); do /bin/true; done; /bin/true & echo $! > " + pidFile +
                                       ".part; mv " + pidFile + ".part " + pidFile + "; wait; exec sleep 600"};
  // Before the helper's exit, surely: a datagram the kernel stamped then is its own.
  const std::uint64_t beforeExit = microsNow();
  std::shared_ptr<os::ForkRecorder> forks;
  const pid_t root = os::ForkRecorder::spawnRecorded(request, forks).pid;
  // The root, unrecorded, ends with the namespace. Root is refused records only by a system call filter.
  if (!forks) return testing::statusField(::getpid(), "Seccomp:") == "0" ? 11 : 78;
  pid_t quick = 0;
  const bool ended = testing::waitFor([&] { return (std::ifstream(pidFile) >> quick) && quick > 0; }) &&
                     testing::waitFor([&] { return !std::filesystem::exists("/proc/" + std::to_string(quick)); });
  const auto seen = ticksNow();
  std::filesystem::remove(pidFile);
  tree.setRoot(root, forks);
  // Sent a while after, by whom the journal could not name: a newcomer's, as
  // the helper's records say it had exited.
  testing::waitFor([&] { return ticksNow() > seen + 1; });
  int result = !ended                                                        ? 2
               : tree.contains(::getpid())                                   ? 3
               : !tree.contains(quick, "true")                               ? 4
               : tree.contains(quick, "logger")                              ? 5
               : tree.contains(quick, {}, microsNow())                       ? 6
               : !tree.contains(quick, "true", beforeExit)                   ? 12
                                                                             : 0;
  if (result == 0) {
    const pid_t stranger = handOver(quick, seen);
    result = stranger != quick                          ? 77
             : tree.contains(stranger)                    ? 7
             : !tree.contains(stranger, {}, beforeExit)   ? 8
             : tree.contains(stranger, {}, microsNow())   ? 9
                                                          : 0;
    if (stranger > 0) ::kill(stranger, SIGKILL), ::waitpid(stranger, nullptr, 0);
  }
  ::kill(root, SIGKILL);
  ::waitpid(root, nullptr, 0);
  // The whole tree has ended: once its last records are read, the tree has
  // nothing left to wait for (10), or every poll would return at once.
  tree.drainEvents();
  pollfd events{tree.eventFd(), POLLIN, 0};
  return result != 0 ? result : ::poll(&events, 1, 0) != 0 ? 10 : 0;
}

// Without the connector (an ordinary user, a container), a helper that
// outlives the process that made its session is still of the tree, one that
// left at once is known by the launch's records, and a member's number taken
// over by a stranger is not of the tree.
TEST(ProcessTree, APidHandedToAStrangerIsNoMemberWithoutTheConnector) {
  if (::geteuid() != 0) GTEST_SKIP() << "a pid namespace of its own needs root";
  for (const auto& [name, scenario] : {std::pair{"/proc", &pidReuseFromProc}, std::pair{"records", &pidReuseFromRecords}}) {
    const pid_t outer = ::fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
      if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(78);
      const pid_t init = ::fork();
      if (init == 0) {
        const bool mounted = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             ::mount("proc", "/proc", "proc", 0, nullptr) == 0;
        ::_exit(mounted ? scenario() : 78);
      }
      int status = 0;
      ::waitpid(init, &status, 0);
      ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(outer, &status, 0), outer);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    if (code == 78 || code == 77) std::cout << name << (code == 78 ? ": no pid namespace or no records here\n" : ": the pid was not handed over\n");
    else EXPECT_EQ(code, 0) << name << ": check " << code << " of the scenario failed";
  }
}

TEST(UserScope, NamesAreEscapedAsSystemdDoes) {
  for (const auto& [name, escaped] : {std::pair{"org.gnome.Calculator", "org.gnome.Calculator"}, {"my-AZaz09:_", "my\\x2dAZaz09:_"},
                                      {".hidden", "\\x2ehidden"}, {"a b/@[`{\xc3\xa9", "a\\x20b\\x2f\\x40\\x5b\\x60\\x7b\\xc3\\xa9"}}) {
    EXPECT_EQ(escapeUnitNamePart(name), escaped);
  }
  EXPECT_EQ(journalIdentifier("a\tb\x7f\xc3\xa9"), "a_b_\xc3\xa9");  // a journal stream's: no control bytes
  JournalEntry entry;  // a field's number is read to the field's end, whatever digits follow it in memory
  setJournalField(entry, "_PID", std::string_view("4242999").substr(0, 4));
  EXPECT_EQ(entry.pid, 4242);
}

// Every form of the kernel's lines in golden/kernel_lines.export (its CASE
// field says which), as the kernel and journald write them: the process it
// names, how it reads without symbols, and the event type and source the
// trace gives it; or "-" for a line that reports no process ("suppressed":
// one saying that lines were left out). Then what a trace of them all shows,
// in order: each audit record once, whichever copies of it came; the
// kernel's word that it left lines out once; an out-of-memory kill with the
// limit its own dump showed reached, never another dump's.
TEST(KernelReport, EveryFormReadsAsItsEvent) {
  const LineClassifier classifier("");
  testing::LineCollector shown;
  JournalCapture capture({"hog", "", 0, 0, "", "", ""}, shown.sink(), std::make_unique<RootAlone>(true));
  capture.follow(1, "");
  std::string got;
  for (const auto& entry : testing::parseJournalExport(readFile(kGolden + "/kernel_lines.export"))) {
    const auto report = parseKernelReport(entry);
    capture.take(JournalEntry(entry));
    if (!report) {
      got += (saysKernelSuppressedMessages(entry) ? "suppressed\t" : "-\t") + entry.message + "\n";
      continue;
    }
    const std::string text = describeKernelReport(*report, std::nullopt);
    const auto classified = classifier.classify("kernel: " + text, LineInfo{LineOrigin::journal, 6});
    got += std::to_string(report->pid) + "\t" + std::string(label(classified.type)) + "\t" +
           std::string(classified.source) + "\t" + text + "\n";
  }
  capture.flush();
  testing::expectGolden(kGolden + "/kernel_lines.tsv", got + "shown:\n" + shown.joined());

  // With symbols: the function and line come first, the file and offset stay.
  const auto fault = parseKernelReport(entryOf(
      "_TRANSPORT=kernel|MESSAGE=crashy[1]: segfault at 0 ip 0000000000001185 sp 0 error 6 in crashy[1185,55ded8526000+1000]")).value();
  EXPECT_EQ(describeKernelReport(fault, CodeLocation{"main", "crashy.c", 12}),
            "crashy[1] crashed in main (crashy.c:12), crashy+0x1185: segfault at 0");
  EXPECT_EQ(describeKernelReport(fault, CodeLocation{"main", "", 0}), "crashy[1] crashed in main, crashy+0x1185: segfault at 0");
}

TEST(KernelReport, SaysWhenTheKernelsMessagesCannotBeRead) {
  testing::TempDir dir;
  const auto plain = dir.write("kmsg", "").string();
  for (const auto& [path, why] : {std::pair{plain, " is not the kernel's log"},
                                  std::pair{std::string("/dev/null"), " is not the kernel's log"},
                                  std::pair{(dir.path() / "none").string(), " is missing"}}) {
    EXPECT_EQ(kernelMessagesUnavailableReason(path), "the kernel's messages do not reach the journal here (" + path + why + ")");
  }
  // An ordinary user (a number without an account will do) has the kernel's messages only where it may read a
  // system journal file; told so where it may not.
  if (::geteuid() != 0 || kernelMessagesUnavailableReason()) return;  // none here for anyone
  std::filesystem::create_directory(dir.path() / "machine");
  const auto journal = dir.write("machine/system.journal", "");
  const auto told = [&] { return kernelMessagesUnavailableReason("/dev/kmsg", {dir.path().c_str()}).has_value(); };
  for (const auto& [mode, saysSo] : {std::pair{0600, 1}, std::pair{0644, 0}}) {
    ::chmod(journal.c_str(), static_cast<mode_t>(mode));
    const pid_t user = ::fork();
    if (user == 0) ::_exit(::setresuid(64999, 64999, 64999) != 0 ? 2 : told());
    int status = -1;
    EXPECT_EQ((::waitpid(user, &status, 0), status), saysSo << 8) << "mode " << mode;
  }
}

}  // namespace
}  // namespace mf
