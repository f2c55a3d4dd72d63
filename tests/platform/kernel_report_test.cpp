// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel's lines about a process, in the exact forms the kernel and
// journald write them: which process they name, how they read, and how the
// trace classifies them.

#include <gtest/gtest.h>

#include <unistd.h>

#include "analysis/classify.h"
#include "platform/journal_capture.h"
#include "platform/kernel_report.h"
#include "platform_test_support.h"

namespace mf {
namespace {

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
