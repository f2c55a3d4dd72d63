// SPDX-License-Identifier: GPL-3.0-or-later
// What a trace takes from the journal: journalctl's export format cut at any
// byte, which entries belong to the launched process tree, and how each
// reads, the kernel's lines among them; the fork events of a real process
// tree.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analysis/classify.h"
#include "platform/journal_capture.h"
#include "platform/journal_export.h"
#include "platform/process_tree.h"
#include "platform/spawn.h"
#include "platform/user_scope.h"
#include "platform_test_support.h"

namespace mf {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<JournalEntry> parseInChunks(std::string_view bytes, std::size_t chunk) {
  std::vector<JournalEntry> entries;
  JournalExportParser parser([&](JournalEntry&& entry) { entries.push_back(std::move(entry)); });
  for (std::size_t at = 0; at < bytes.size(); at += chunk) parser.feed(bytes.substr(at, chunk));
  parser.finish();
  return entries;
}

// One entry from its export fields, written "KEY=value|KEY=value".
JournalEntry entryOf(std::string fields) {
  std::replace(fields.begin(), fields.end(), '|', '\n');
  return parseInChunks("MESSAGE=m\n" + fields + "\n", 4096).at(0);
}

// Every entry of the golden export, parsed in chunks of any size, as the
// trace of the process tree 4242 (with children 4243, 4244) in the scope
// app-marrowfield-calc-0badcafe.scope shows it: captured or not, the
// classification, where it came from, when it was written (the sender's own
// time where the entry has one) and the rendered line.
TEST(JournalCapture, GoldenEntriesAreDecidedRenderedAndClassifiedHoweverTheExportIsCut) {
  const std::string golden = MARROWFIELD_PLATFORM_GOLDEN_DIR;
  CaptureScope scope{"calc", "calc", 99999, 4242, "app-marrowfield-calc-0badcafe.scope", "", ""};
  const auto isMember = [](pid_t pid) { return pid == 4242 || pid == 4243 || pid == 4244; };
  const LineClassifier classifier("org.gnome.Calculator");
  const std::string expected = readFile(golden + "/captured.tsv");
  for (const std::size_t chunk : {1u, 2u, 3u, 7u, 8u, 9u, 64u, 4096u}) {
    std::string got;
    for (const auto& entry : parseInChunks(readFile(golden + "/captured.export"), chunk)) {
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
             "\t" + std::string(originName(info.origin)) + "\t" + time + "\t" + line + "\n";
    }
    if (std::getenv("MARROWFIELD_REGEN_GOLDEN")) std::ofstream(golden + "/captured.tsv", std::ios::binary) << got;
    EXPECT_EQ(got, expected) << "chunks of " << chunk << "; regenerate with MARROWFIELD_REGEN_GOLDEN=1, review the diff";
  }
}

TEST(JournalExportParser, MalformedInputNeitherCrashesNorHoldsMemory) {
  // A binary field past the bound the parser holds is passed over exactly,
  // streamed in pieces: the entry it embeds must not come out as one.
  std::vector<JournalEntry> entries;
  JournalExportParser parser([&](JournalEntry&& entry) { entries.push_back(std::move(entry)); });
  const std::string forged = "\n\n_PID=4242\nMESSAGE=forged\n\n";
  const std::uint64_t size = (std::uint64_t{256} << 20) + forged.size() + 1;
  std::string header = "__REALTIME_TIMESTAMP=1\nMESSAGE\n";
  for (int i = 0; i < 8; ++i) header += static_cast<char>((size >> (8 * i)) & 0xFF);
  parser.feed(header + forged.substr(0, 3));
  parser.feed(forged.substr(3));
  const std::string newlines(std::size_t{1} << 20, '\n');
  for (std::uint64_t left = size - forged.size(); left > 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, newlines.size()));
    parser.feed(std::string_view(newlines).substr(0, n));
    left -= n;
  }
  parser.feed("\n\n_PID=1\nMESSAGE=after\n\n");  // the field's newline, then the end of its entry
  parser.finish();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "");
  EXPECT_EQ(entries[1].message, "after");
  // PRIORITY out of range or not a number counts as none; 7 (debug) is one.
  // The last entry needs no blank line after it: the end of the stream ends it.
  const auto odd = parseInChunks("PRIORITY=9\nMESSAGE=a\n\nPRIORITY=x\nMESSAGE=b\n\nPRIORITY=7\nMESSAGE=c\n", 3);
  ASSERT_EQ(odd.size(), 3u);
  EXPECT_EQ(odd[0].priority, -1);
  EXPECT_EQ(odd[1].priority, -1);
  EXPECT_EQ(odd[2].priority, 7);
}

TEST(JournalCapture, TheTreeTheStreamAndNothingElse) {
  // Anyone may send a crash report's or journald's fields; only systemd-coredump
  // as root (its name may be gone before journald reads it) and journald itself
  // are believed. Once the target's stream is known ("ours"), its lines are
  // told apart by it, whether or not their writer is gone.
  const std::string crash = "_PID=77|_TRANSPORT=journal|SYSLOG_IDENTIFIER=systemd-coredump|MESSAGE_ID=" +
                            std::string(kCoredumpMessageId) + "|_UID=0|COREDUMP_PID=";
  const std::string drop = "_PID=12|_TRANSPORT=driver|SYSLOG_IDENTIFIER=systemd-journald|MESSAGE_ID=" +
                           std::string(kJournalDroppedMessageId) + "|MESSAGE=Suppressed 3 messages from app-";
  const auto segfault = [](const char* pid) {
    return "_TRANSPORT=kernel|SYSLOG_IDENTIFIER=kernel|MESSAGE=crashy[" + std::string(pid) + "]: segfault at 0 ip 0 sp 0 error 6 in crashy[1,2+3]";
  };
  const struct {
    const char* what;
    std::string fields;
    pid_t root;
    const char* stream;
    Verdict expected;
  } cases[] = {
      {"the launched process", "_PID=4242|_TRANSPORT=journal|SYSLOG_IDENTIFIER=any", 4242, "", Verdict::capture},
      {"a descendant under its own name", "_PID=4243|_TRANSPORT=syslog|SYSLOG_IDENTIFIER=other", 4242, "", Verdict::capture},
      {"its stream line with the writer's pid", "_PID=4242|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc", 4242, "", Verdict::capture},
      {"its stream line, writer gone", "_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc", 4242, "", Verdict::capture},
      {"another instance's stream", "_PID=5000|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc", 4242, "", Verdict::skip},
      {"another instance's entry", "_PID=5000|_TRANSPORT=journal|SYSLOG_IDENTIFIER=calc", 4242, "", Verdict::skip},
      {"our own forwarded stdout", "_PID=99999|_TRANSPORT=journal|SYSLOG_IDENTIFIER=calc", 4242, "", Verdict::skip},
      {"our own stream", "_PID=99999|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc", 4242, "", Verdict::skip},
      {"a member, before the launch is known", "_PID=4242|_TRANSPORT=journal", 0, "", Verdict::undecided},
      {"the stream, before the launch is known", "_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc", 0, "", Verdict::capture},
      {"an entry of our scope", "_PID=5001|_SYSTEMD_USER_UNIT=app-marrowfield-calc-1.scope", 4242, "", Verdict::capture},
      {"an entry of another scope", "_PID=5000|_SYSTEMD_USER_UNIT=app-gnome-other-1.scope", 4242, "", Verdict::skip},
      {"a crash report of a member", crash + "4243|_COMM=systemd-coredum", 4242, "", Verdict::capture},
      {"a crash report, sender's name gone", crash + "4243", 4242, "", Verdict::capture},
      {"a crash report of a stranger", crash + "5000|_COMM=systemd-coredum", 4242, "", Verdict::skip},
      {"a crash report forged by a stranger", crash + "4243|_PID=5000|_UID=1000|_COMM=python3", 4242, "", Verdict::skip},
      {"... by a stranger's systemd-coredump", crash + "4243|_PID=5000|_UID=1000|_COMM=systemd-coredum", 4242, "",
       Verdict::skip},
      {"... by root's logger", crash + "4243|_PID=5000|_COMM=logger", 4242, "", Verdict::skip},
      {"journald's note on our scope", drop + "marrowfield-calc-1.scope", 4242, "", Verdict::capture},
      {"journald's note on another scope", drop + "gnome-other-1.scope", 4242, "", Verdict::skip},
      {"journald's note forged by a stranger", drop + "marrowfield-calc-1.scope|_PID=5000|_TRANSPORT=journal", 4242,
       "", Verdict::skip},
      {"our stream, writer gone", "_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|_STREAM_ID=ours", 4242, "ours",
       Verdict::capture},
      {"our stream, a daemonised helper", "_PID=6000|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|_STREAM_ID=ours", 4242,
       "ours", Verdict::capture},
      {"another stream of that name, writer gone", "_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|_STREAM_ID=theirs", 4242,
       "ours", Verdict::skip},
      {"the kernel on a member, before the launch is known", segfault("4242"), 0, "", Verdict::undecided},
      {"the kernel on a member", segfault("4242"), 4242, "", Verdict::capture},
      {"the kernel on a process outside the tree", segfault("5000"), 4242, "", Verdict::skip},
      {"the kernel on a device", "_TRANSPORT=kernel|MESSAGE=usb 1-1: new device", 4242, "", Verdict::skip},
  };
  for (const auto& c : cases) {
    const CaptureScope scope{"calc", "calc", 99999, c.root, "app-marrowfield-calc-1.scope", c.stream, ""};
    const auto got = captureVerdict(entryOf(c.fields), scope, [](pid_t pid) { return pid == 4242 || pid == 4243; });
    EXPECT_EQ(static_cast<int>(got), static_cast<int>(c.expected)) << c.what;
  }
}

TEST(JournalCapture, EntriesBeforeTheLaunchIsKnownWaitAndKeepTheirOrder) {
  testing::LineCollector lines;
  JournalCapture capture({"calc", "calc", 99999, 0, "", "", ""}, lines.sink());
  const std::string self = std::to_string(::getpid());
  capture.take(entryOf("_PID=1|_TRANSPORT=journal|SYSLOG_IDENTIFIER=calc|MESSAGE=init says something"));
  capture.take(entryOf("_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|MESSAGE=stream line of a gone writer"));
  capture.flush();
  EXPECT_TRUE(lines.lines().empty()) << "nothing before the launched process is known";
  // Our own pid as the root stands in for a launched process that is alive.
  capture.follow(::getpid(), "");
  capture.take(entryOf("_PID=" + self + "|_TRANSPORT=journal|SYSLOG_IDENTIFIER=calc|MESSAGE=after"));
  // A helper that left before it could be placed wrote on a stream of the
  // target's name: its line waits until a member's line says which stream
  // is the target's, and only that stream's lines are taken.
  const std::string stream = "|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=calc|_STREAM_ID=";
  capture.take(entryOf("_PID=999998" + stream + "ours|MESSAGE=a helper's line"));
  capture.take(entryOf("_PID=999997" + stream + "theirs|MESSAGE=another launch's line"));
  capture.flush();
  EXPECT_EQ(lines.lines().size(), 2u) << lines.joined();
  capture.take(entryOf("_PID=" + self + stream + "ours|MESSAGE=the target's line"));
  capture.flush();
  const auto got = lines.lines();
  ASSERT_EQ(got.size(), 4u) << lines.joined();
  for (const auto& [at, text] : {std::pair{0, "stream line of a gone writer"}, std::pair{1, "after"},
                                 std::pair{2, "a helper's line"}, std::pair{3, "the target's line"}}) {
    EXPECT_NE(got[static_cast<std::size_t>(at)].find(text), std::string::npos) << lines.joined();
  }
}

// With fork events, a member's threads are no new processes: a thread's
// fork event names the parent of its whole group as its parent, and a member
// that starts threads is still one. (Children and grandchildren that outlive
// their parent are followed in the journal stream's and the trace's tests.)
TEST(ProcessTree, AMemberThatStartsThreadsIsStillOne) {
  if (!ProcessTree().seesForks()) GTEST_SKIP() << "no process-event connector here (it needs CAP_NET_ADMIN)";
  testing::TempDir dir;
  const auto ready = dir.path() / "ready";
  posix::SpawnRequest request;
  request.argv = {"/usr/bin/python3", "-c", "import threading, time; [threading.Thread(target=time.sleep, args=(3,)).start() "
                                            "for _ in range(3)]; open('" + ready.string() + "', 'w')"};
  const pid_t python = posix::spawnProcess(request).pid;
  ASSERT_GT(python, 0);
  ProcessTree tree;
  tree.setRoot(python);
  ASSERT_TRUE(testing::waitFor([&] { return std::filesystem::exists(ready); }));
  EXPECT_TRUE(tree.contains(python));
  EXPECT_FALSE(tree.contains(::getpid()));
  ::kill(python, SIGKILL);
  ::waitpid(python, nullptr, 0);
}

// Runs as pid 1 of a pid namespace of its own, where no fork events reach
// and ns_last_pid is ours to set: the tree stands on /proc alone, and a
// member's pid can be handed to a newcomer on purpose. Returns 0, or the
// number of the check that failed (77: the pid could not be reused here).
int pidReuseScenario() {
  ProcessTree tree;
  int report[2];
  if (tree.seesForks() || ::pipe(report) != 0) return 1;
  const pid_t root = ::fork();
  if (root == 0) {
    ::setsid();
    const pid_t helper = ::fork();
    if (helper != 0) (void)!::write(report[1], &helper, sizeof helper);
    for (;;) ::pause();
  }
  pid_t helper = 0;
  if (::read(report[0], &helper, sizeof helper) != sizeof helper) return 3;
  tree.setRoot(root);
  const auto rootStart = posix::statFieldOf(root, 22);
  const std::string rootName = posix::processStatOf(root).value_or(posix::ProcessStat{}).name;
  if (!tree.contains(helper)) return 4;
  // The root ends; its helper, adopted by init, keeps the root's session.
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
  // The kernel hands the root's number to a stranger, one clock tick later
  // at least (start times count in ticks).
  const auto ticksNow = [] {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto perSecond = static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK));
    return static_cast<unsigned long long>(now.tv_sec) * perSecond +
           static_cast<unsigned long long>(now.tv_nsec) * perSecond / 1000000000ULL;
  };
  if (!rootStart || !testing::waitFor([&] { return ticksNow() > *rootStart + 1; })) return 8;
  std::ofstream("/proc/sys/kernel/ns_last_pid") << root - 1;
  const pid_t stranger = ::fork();
  if (stranger == 0) {
    for (;;) ::pause();
  }
  const int result = stranger != root || posix::statFieldOf(stranger, 22) == rootStart ? 77
                     : tree.contains(stranger)                                          ? 7
                                                                                        : 0;
  ::kill(stranger, SIGKILL);
  ::waitpid(stranger, nullptr, 0);
  return result;
}

// Without fork events (an ordinary user, a container), a helper that
// outlives the process that made its session is still of the tree, and a
// member's number taken over by a stranger is not.
TEST(ProcessTree, APidHandedToAStrangerIsNoMemberWithoutForkEvents) {
  if (::geteuid() != 0) GTEST_SKIP() << "a pid namespace of its own needs root";
  const pid_t outer = ::fork();
  ASSERT_GE(outer, 0);
  if (outer == 0) {
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(78);
    const pid_t init = ::fork();
    if (init == 0) {
      const bool mounted = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           ::mount("proc", "/proc", "proc", 0, nullptr) == 0;
      ::_exit(mounted ? pidReuseScenario() : 78);
    }
    int status = 0;
    ::waitpid(init, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(outer, &status, 0), outer);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 99;
  if (code == 78) GTEST_SKIP() << "no pid namespace can be made here";
  if (code == 77) GTEST_SKIP() << "the pid was not handed over, or within the same clock tick";
  EXPECT_EQ(code, 0) << "check " << code << " of the scenario failed";
}

TEST(UserScope, NamesAreEscapedAsSystemdDoes) {
  EXPECT_EQ(escapeUnitNamePart("org.gnome.Calculator"), "org.gnome.Calculator");
  EXPECT_EQ(escapeUnitNamePart("my-app"), "my\\x2dapp");
  EXPECT_EQ(escapeUnitNamePart(".hidden"), "\\x2ehidden");
  EXPECT_EQ(escapeUnitNamePart("a b/\xc3\xa9"), "a\\x20b\\x2f\\xc3\\xa9");
  EXPECT_EQ(applicationScopeName("org.xfce.mousepad", "0badcafe"), "app-marrowfield-org.xfce.mousepad-0badcafe.scope");
}

// The kernel's lines about a process, in the exact forms the kernel and
// journald write them: which process they name, how they read, and how the
// trace classifies them.
JournalEntry kernelEntry(std::string message, std::string identifier = "kernel", std::int32_t syslogPid = 0,
                         std::string transport = "kernel") {
  JournalEntry entry;
  entry.transport = std::move(transport);
  entry.identifier = std::move(identifier);
  entry.syslogPid = syslogPid;
  entry.message = std::move(message);
  return entry;
}

TEST(KernelReport, EveryFormReadsAsItsEvent) {
  const std::string apparmor =
      R"(apparmor="DENIED" operation="open" class="file" profile="crashy" name="/etc/shadow" pid=13358 )"
      R"(comm="sleep" requested_mask="r" denied_mask="r" fsuid=1000 ouid=0)";
  const std::string selinux =
      R"(avc:  denied  { read write } for  pid=7 comm="cat" name="shadow" dev="vda" ino=12 )"
      R"(scontext=user_u:user_r:user_t:s0 tcontext=system_u:object_r:shadow_t:s0 tclass=file permissive=)";
  const std::string seccomp =
      R"(auid=4294967295 uid=0 gid=0 ses=4294967295 subj=unconfined pid=9 comm="sleep" exe="/usr/bin/sleep" )"
      R"(sig=31 arch=c000003e syscall=41 compat=0 ip=0x7f0 code=)";
  // 0 for no report; the text as describeKernelReport words it without
  // symbols, and the event type and source the trace gives the line.
  const struct {
    const char* what;
    JournalEntry entry;
    pid_t pid;
    const char* text;
    std::string_view type;
    const char* source;
  } cases[] = {
      {"a segfault, as the kernel writes it",
       kernelEntry("crashy[13002]: segfault at 0 ip 000055ded852615c sp 00007ffdaddf4b60 error 6 in "
                   "crashy[115c,55ded8526000+1000] likely on CPU 0 (core 0, socket 0)"),
       13002, "crashy[13002] crashed, crashy+0x115c: segfault at 0", "ERROR", "CRASH"},
      {"the same line written to /dev/kmsg from user space, which journald splits",
       kernelEntry("segfault at 0 ip 000055ded852615c sp 00007ffdaddf4b60 error 6 in crashy[115c,55ded8526000+1000]",
                   "crashy", 13002),
       13002, "crashy[13002] crashed, crashy+0x115c: segfault at 0", "ERROR", "CRASH"},
      {"a task name with brackets, a colon and a space",
       kernelEntry("a]b: c[7[13003]: segfault at 8 ip 00007f0000028f3a sp 00007ffd00000000 error 4 in "
                   "libc.so.6[28f3a,7f0000000000+155000] likely on CPU 1 (core 1, socket 0)"),
       13003, "a]b: c[7[13003] crashed, libc.so.6+0x28f3a: segfault at 8", "ERROR", "CRASH"},
      {"a jump to address 0: no file",
       kernelEntry("traps[17954]: segfault at 0 ip 0000000000000000 sp 00007ffee255c048 error 14 likely on CPU 1 "
                   "(core 1, socket 0)"),
       17954, "traps[17954] crashed at 0x0: segfault at 0", "ERROR", "CRASH"},
      {"a kernel before 6.2: the mapping without the offset",
       kernelEntry("crashy[5]: segfault at 0 ip 000055ded852615c sp 00007ffdaddf4b60 error 6 in "
                   "crashy[55ded8526000+1000]"),
       5, "crashy[5] crashed, crashy: segfault at 0", "ERROR", "CRASH"},
      {"an invalid opcode",
       kernelEntry("traps: traps[17950] trap invalid opcode ip:55f54a3321be sp:7ffc31cfc590 error:0 in "
                   "traps[11be,55f54a332000+1000]"),
       17950, "traps[17950] crashed, traps+0x11be: invalid opcode", "ERROR", "CRASH"},
      {"a general protection fault",
       kernelEntry("traps: traps[17951] general protection fault ip:55eb199941f3 sp:7ffea3673510 error:0 in "
                   "traps[11f3,55eb19994000+1000]"),
       17951, "traps[17951] crashed, traps+0x11f3: general protection fault", "ERROR", "CRASH"},
      {"the OOM killer at a cgroup's limit",
       kernelEntry("Memory cgroup out of memory: Killed process 13947 (hog) total-vm:35372kB, anon-rss:32640kB, "
                   "file-rss:952kB, shmem-rss:0kB, UID:0 pgtables:104kB oom_score_adj:0"),
       13947,
       "hog[13947] crashed: the kernel's out-of-memory killer ended it because its memory cgroup reached its limit "
       "(total-vm:35372kB, anon-rss:32640kB, file-rss:952kB, shmem-rss:0kB)",
       "ERROR", "CRASH"},
      {"the OOM killer when the machine ran out",
       kernelEntry("Out of memory: Killed process 4242 (my app) total-vm:10kB, anon-rss:9kB, file-rss:0kB, "
                   "shmem-rss:0kB, UID:1000 pgtables:4kB oom_score_adj:200"),
       4242,
       "my app[4242] crashed: the kernel's out-of-memory killer ended it because the machine ran out of memory "
       "(total-vm:10kB, anon-rss:9kB, file-rss:0kB, shmem-rss:0kB)",
       "ERROR", "CRASH"},
      {"the OOM dump's other lines", kernelEntry("oom_reaper: reaped process 13947 (hog), now anon-rss:0kB"), 0, "",
       "", ""},
      {"the OOM dump's task table",
       kernelEntry("[  13947]     0 13947     8843     8398     8160      238         0   106496        0 hog"), 0, "",
       "", ""},
      {"an AppArmor denial", kernelEntry("audit: type=1400 audit(1796655882.123:45): " + apparmor), 13358,
       R"(sleep[13358] permission denied by AppArmor profile "crashy": open /etc/shadow (requested r))", "ERROR",
       "PERMISSION"},
      {"the same, written from user space", kernelEntry("type=1400 audit(1796655882.123:45): " + apparmor, "audit"),
       13358, R"(sleep[13358] permission denied by AppArmor profile "crashy": open /etc/shadow (requested r))",
       "ERROR", "PERMISSION"},
      {"the same from journald's audit socket", kernelEntry("AVC " + apparmor, "", 0, "audit"), 13358,
       R"(sleep[13358] permission denied by AppArmor profile "crashy": open /etc/shadow (requested r))", "ERROR",
       "PERMISSION"},
      {"AppArmor in complain mode", kernelEntry("audit: type=1400 audit(1.2:3): apparmor=\"ALLOWED\" pid=5 comm=\"x\""),
       0, "", "", ""},
      {"a capability, and a name written in hexadecimal",
       kernelEntry("audit: type=1400 audit(1.2:3): apparmor=\"DENIED\" operation=\"capable\" class=\"cap\" "
                   "profile=\"/usr/bin/x\" pid=5 comm=782079 capability=21 capname=\"sys_admin\""),
       5, R"(x y[5] permission denied by AppArmor profile "/usr/bin/x": capable capability sys_admin)", "ERROR",
       "PERMISSION"},
      {"a pid= inside a quoted value is not the pid",
       kernelEntry("audit: type=1400 audit(1.2:3): apparmor=\"DENIED\" operation=\"open\" profile=\"p\" "
                   "name=\"/tmp/x pid=1\" pid=12 comm=\"a\""),
       12, R"(a[12] permission denied by AppArmor profile "p": open /tmp/x pid=1)", "ERROR", "PERMISSION"},
      {"a D-Bus call AppArmor refused, reported by dbus-daemon",
       kernelEntry("audit: type=1107 audit(1.2:3): pid=850 uid=103 auid=4294967295 ses=4294967295 subj=unconfined "
                   "msg='apparmor=\"DENIED\" operation=\"dbus_method_call\"  bus=\"system\" path=\"/org/x\" "
                   "interface=\"org.freedesktop.DBus.Properties\" member=\"GetAll\" mask=\"send\" "
                   "name=\"org.freedesktop.NetworkManager\" pid=3079 label=\"snap.app\" peer_pid=900 "
                   "peer_label=\"unconfined\" exe=\"/usr/bin/dbus-daemon\" sauid=103 hostname=? addr=? terminal=?'"),
       3079,
       "process 3079 permission denied by AppArmor profile \"snap.app\": dbus_method_call org.freedesktop.NetworkManager "
       "org.freedesktop.DBus.Properties.GetAll (requested send)",
       "ERROR", "PERMISSION"},
      {"an SELinux denial", kernelEntry("audit: type=1400 audit(1.2:3): " + selinux + "0"), 7,
       "cat[7] permission denied by SELinux: read write on file \"shadow\" (source user_u:user_r:user_t:s0, target "
       "system_u:object_r:shadow_t:s0)",
       "ERROR", "PERMISSION"},
      {"SELinux in permissive mode", kernelEntry("audit: type=1400 audit(1.2:3): " + selinux + "1"), 7,
       "warning: SELinux in permissive mode would refuse cat[7] read write on file \"shadow\" (source "
       "user_u:user_r:user_t:s0, target system_u:object_r:shadow_t:s0)",
       "WARN", "CONSOLE"},
      {"a seccomp kill", kernelEntry("audit: type=1326 audit(1.2:3): " + seccomp + "0x80000000"), 9,
       "sleep[9] permission denied by seccomp: system call socket (41), which ended it with SIGSYS", "ERROR", "PERMISSION"},
      {"a seccomp errno", kernelEntry("audit: type=1326 audit(1.2:3): " + seccomp + "0x50001"), 9,
       "sleep[9] permission denied by seccomp: system call socket (41), which failed with error 1", "ERROR", "PERMISSION"},
      {"a seccomp log action", kernelEntry("audit: type=1326 audit(1.2:3): " + seccomp + "0x7ffc0000"), 0, "", "",
       ""},
      {"a device line", kernelEntry("EXT4-fs (vda): mounted filesystem r/w without journal."), 0, "", "", ""},
      {"a program that logs a kernel-like line itself",
       kernelEntry("x[1]: segfault at 0 ip 0 sp 0 error 6 in x[1,2+3]", "x", 0, "journal"), 0, "", "", ""},
  };
  const LineClassifier classifier("");
  for (const auto& c : cases) {
    const auto report = parseKernelReport(c.entry);
    if (c.pid == 0) {
      EXPECT_FALSE(report) << c.what;
      continue;
    }
    ASSERT_TRUE(report) << c.what;
    EXPECT_EQ(report->pid, c.pid) << c.what;
    const std::string text = describeKernelReport(*report, std::nullopt);
    EXPECT_EQ(text, c.text) << c.what;
    const auto classified = classifier.classify("kernel: " + text, LineInfo{LineOrigin::journal, 6});
    EXPECT_EQ(label(classified.type), c.type) << c.what;
    EXPECT_EQ(classified.source, c.source) << c.what;
  }

  // With symbols: the function and line come first, the file and offset stay.
  const auto fault = parseKernelReport(kernelEntry(
      "crashy[1]: segfault at 0 ip 0000000000001185 sp 0 error 6 in crashy[1185,55ded8526000+1000]"));
  ASSERT_TRUE(fault);
  EXPECT_EQ(describeKernelReport(*fault, CodeLocation{"main", "crashy.c", 12}),
            "crashy[1] crashed in main (crashy.c:12), crashy+0x1185: segfault at 0");
  EXPECT_EQ(describeKernelReport(*fault, CodeLocation{"main", "", 0}), "crashy[1] crashed in main, crashy+0x1185: segfault at 0");
}

TEST(KernelReport, SaysWhenTheKernelsMessagesCannotBeRead) {
  testing::TempDir dir;
  const auto plain = dir.write("kmsg", "").string();
  for (const auto& [path, why] : {std::pair{plain, " is not the kernel's log"},
                                  std::pair{std::string("/dev/null"), " is not the kernel's log"},
                                  std::pair{(dir.path() / "none").string(), " is missing"}}) {
    EXPECT_EQ(kernelMessagesUnavailableReason(path), "the kernel's messages do not reach the journal here (" + path + why + ")");
  }
  // A trace says so once, as a warning, when its launch is known.
  testing::LineCollector lines;
  JournalCapture capture({"calc", "", 0, 0, "", "", "the kernel's messages do not reach the journal here"}, lines.sink());
  capture.follow(::getpid(), "");
  capture.flush();
  ASSERT_EQ(lines.lines().size(), 1u);
  EXPECT_EQ(lines.lines()[0], "warning: the kernel's messages do not reach the journal here, so crashes, out-of-memory "
                              "kills and denials of calc that only the kernel reports cannot be shown");
  EXPECT_EQ(LineClassifier("").classify(lines.lines()[0], LineInfo{LineOrigin::journal, 4}).type, EventType::warning);
}

}  // namespace
}  // namespace mf
