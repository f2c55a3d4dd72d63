// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel's own lines about a traced process, through a real journald:
// a real segfault in a program and in a shared library, named by function
// and source line; a real OOM kill in a memory-limited cgroup; denials in the
// kernel's audit format written to /dev/kmsg, kept for the tree and left out
// for a process beside it.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "journal_fixture.h"
#include "platform/kernel_report.h"
#include "platform/log_stream.h"
#include "platform/spawn.h"
#include "platform/symbolize.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::waitFor;

// The line of `file` that holds `marker`, counted from 1.
std::string lineOf(const std::string& file, const std::string& marker) {
  std::ifstream source(file);
  std::string line;
  for (int number = 1; std::getline(source, line); ++number) {
    if (line.find(marker) != std::string::npos) return std::to_string(number);
  }
  return "?";
}

pid_t spawn(const std::vector<std::string>& argv) {
  posix::SpawnRequest request;
  request.argv = argv;
  return posix::spawnProcess(request).pid;
}

int reap(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// A trace of the process `argv` starts: the journal stream is armed first,
// as a trace does, then the process is launched and followed.
struct Traced {
  testing::LineCollector lines;
  JournalLogStreamLauncher launcher;
  ArmResult stream = launcher.start("crash-program", lines.sink());
  pid_t pid = -1;

  explicit Traced(const std::vector<std::string>& argv) {
    EXPECT_TRUE(stream.process) << stream.errorDescription;
    if (stream.process) pid = spawn(argv);
    // The launcher names what it ran, as the workspace does: the program
    // may be a zombie before it is followed.
    if (pid > 0) stream.process->follow(LaunchedProcess{pid, "", argv.front()});
  }
};

TEST(KernelWitness, ASegfaultIsNamedByFunctionAndSourceLine) {
  if (const auto reason = kernelMessagesUnavailableReason()) GTEST_SKIP() << *reason;
  if (std::ifstream("/proc/sys/debug/exception-trace").get() == '0') GTEST_SKIP() << "debug.exception-trace is 0";
  const std::string program = MARROWFIELD_CRASH_PROGRAM_SOURCE;
  const std::pair<const char*, std::string> cases[] = {
      {"null", "in main (crash_program.cpp:" + lineOf(program, "// the fault in main") + "), crash-program+0x"},
      {"library", "in mfcrash::writeThrough(int volatile*) (crash_library.cpp:" +
                      lineOf(MARROWFIELD_CRASH_LIBRARY_SOURCE, "// the fault in the library") + "), libmfcrash.so+0x"},
      // The kernel names the faulting thread by its own id, not the process's.
      {"thread", "in f (crash_program.cpp:" + lineOf(program, "// the fault in the thread") + "), crash-program+0x"},
  };
  std::uint64_t mainFault = 0;
  for (const auto& [mode, expected] : cases) {
    // The kernel logs at most 10 faults in 5 s (printk_ratelimit), and other
    // tests crash programs too: a crash whose line never came is tried again.
    bool reported = false;
    for (int attempt = 0; attempt < 3 && !reported; ++attempt) {
      Traced trace({MARROWFIELD_CRASH_PROGRAM, mode});
      ASSERT_GT(trace.pid, 0);
      EXPECT_TRUE(WIFSIGNALED(reap(trace.pid)));
      const std::string who = mode == std::string("thread") ? "] crashed"
                                                            : "crash-program[" + std::to_string(trace.pid) + "] crashed";
      reported = waitFor([&] { return trace.lines.contains(who); });
      EXPECT_TRUE(!reported || trace.lines.contains(who + " " + expected)) << trace.lines.joined();
      const auto text = trace.lines.joined();
      if (reported && mode == std::string("null")) mainFault = std::stoull(text.substr(text.find("program+0x") + 10), nullptr, 16);
    }
    EXPECT_TRUE(reported) << mode << ": the kernel's line never came";
  }

  // An older kernel writes only where the mapping starts: the file offset
  // follows from the program's load segments, with the real mapping of a
  // running copy standing in for the crashed one's.
  ASSERT_NE(mainFault, 0u);
  const pid_t running = spawn({MARROWFIELD_CRASH_PROGRAM, "wait"});
  unsigned long long start = 0;
  unsigned long long pageOffset = 0;
  // The spawn may return before the program replaced the forked copy.
  const bool mapped = waitFor([&] {
    std::ifstream maps("/proc/" + std::to_string(running) + "/maps");
    for (std::string range, permissions, offset, device, inode, path; maps >> range >> permissions >> offset >> device >> inode;) {
      std::getline(maps, path);
      if (permissions == "r-xp" && path.ends_with(MARROWFIELD_CRASH_PROGRAM)) {
        start = std::stoull(range, nullptr, 16);
        pageOffset = std::stoull(offset, nullptr, 16);
      }
    }
    return start != 0;
  });
  ::kill(running, SIGKILL);
  reap(running);
  ASSERT_TRUE(mapped) << "no executable mapping of the program";
  char old[256];
  std::snprintf(old, sizeof old, "crash-program[7]: segfault at 0 ip %016llx sp 0 error 6 in crash-program[%llx+1000]",
                start + mainFault - pageOffset, start);
  JournalEntry entry;
  entry.transport = "kernel";
  entry.message = old;
  auto report = parseKernelReport(entry);
  ASSERT_TRUE(report);
  CrashLocator locator;
  locator.noteExecutable(MARROWFIELD_CRASH_PROGRAM);
  const auto where = locator.locateFault(*report);
  ASSERT_TRUE(where) << old;
  EXPECT_EQ(where->function, "main");
  EXPECT_EQ(report->fileOffset, mainFault);
}

TEST(KernelWitness, AnOomKillAtACgroupLimitExplainsTheKill) {
  if (::geteuid() != 0) GTEST_SKIP() << "a memory-limited cgroup needs root";
  if (const auto reason = kernelMessagesUnavailableReason()) GTEST_SKIP() << *reason;
  // A memory cgroup of its own with a small limit: v2's memory.max where the
  // unified hierarchy has the memory controller, else v1's limit_in_bytes.
  const bool v2 = ::access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0;
  const std::string cgroup = (v2 ? "/sys/fs/cgroup/marrowfield-oom-" : "/sys/fs/cgroup/memory/marrowfield-oom-") +
                             testing::randomSuffix();
  if (v2) std::ofstream("/sys/fs/cgroup/cgroup.subtree_control") << "+memory";
  if (::mkdir(cgroup.c_str(), 0755) != 0) GTEST_SKIP() << "cannot create " << cgroup << ": " << std::strerror(errno);
  // The swap limit exists only where swap accounting is on.
  for (const char* file : v2 ? std::vector{"memory.max", "memory.swap.max"}
                             : std::vector{"memory.limit_in_bytes", "memory.memsw.limit_in_bytes"}) {
    const bool swap = std::strstr(file, "sw") != nullptr;
    std::ofstream limit(cgroup + "/" + file);
    limit << (v2 && swap ? 0 : 32 << 20) << std::flush;
    if (!limit && !swap) {
      ::rmdir(cgroup.c_str());
      GTEST_SKIP() << "cannot set " << cgroup << "/" << file;
    }
  }
  {
    // The shell joins the cgroup and becomes the hog: the launched pid is the one killed.
    Traced trace({"/bin/sh", "-c", "echo $$ > " + cgroup + "/cgroup.procs && exec " MARROWFIELD_CRASH_PROGRAM " hog"});
    ASSERT_GT(trace.pid, 0);
    const int status = reap(trace.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    const std::string expected = "kernel: crash-program[" + std::to_string(trace.pid) +
                                 "] crashed: the kernel's out-of-memory killer ended it because its memory cgroup "
                                 "reached its limit (total-vm:";
    EXPECT_TRUE(waitFor([&] { return trace.lines.contains(expected); })) << trace.lines.joined();
  }
  ::rmdir(cgroup.c_str());
}

TEST(KernelWitness, DenialsOfTheTreeAreKeptAndOthersAreNot) {
  if (::geteuid() != 0) GTEST_SKIP() << "writing to /dev/kmsg needs root";
  if (const auto reason = kernelMessagesUnavailableReason()) GTEST_SKIP() << *reason;
  const int kmsg = ::open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
  if (kmsg < 0) GTEST_SKIP() << "cannot write to /dev/kmsg: " << std::strerror(errno);
  Traced trace({MARROWFIELD_CRASH_PROGRAM, "wait"});
  ASSERT_GT(trace.pid, 0);
  const pid_t stranger = spawn({MARROWFIELD_CRASH_PROGRAM, "wait"});
  // The stranger's lines go first: once the tree's are in, the stranger's
  // were read before them. journald here may read the last line of a burst
  // only with the next one, so a last line ends the burst.
  for (const pid_t pid : {stranger, trace.pid}) {
    const std::string p = std::to_string(pid);
    for (const std::string& line : {
             "audit: type=1400 audit(1796655882.123:45): apparmor=\"DENIED\" operation=\"open\" class=\"file\" "
             "profile=\"mf-test\" name=\"/etc/shadow\" pid=" + p + " comm=\"crash-program\" requested_mask=\"r\" "
             "denied_mask=\"r\" fsuid=0 ouid=0",
             "audit: type=1400 audit(1796655882.124:46): avc:  denied  { write } for  pid=" + p +
                 " comm=\"crash-program\" name=\"etc\" dev=\"vda\" ino=2 scontext=user_u:user_r:user_t:s0 "
                 "tcontext=system_u:object_r:etc_t:s0 tclass=dir permissive=0",
             "audit: type=1326 audit(1796655882.125:47): auid=4294967295 uid=0 gid=0 ses=4294967295 subj=unconfined "
             "pid=" + p + " comm=\"crash-program\" exe=\"/x\" sig=31 arch=c000003e syscall=41 compat=0 ip=0x7f0 "
             "code=0x80000000"}) {
      ASSERT_GT(::write(kmsg, line.data(), line.size()), 0);
    }
  }
  EXPECT_GT(::write(kmsg, "marrowfield test: end of denials", 32), 0);
  ::close(kmsg);
  const std::string who = "crash-program[" + std::to_string(trace.pid) + "] permission denied by ";
  EXPECT_TRUE(waitFor([&] {
    return trace.lines.contains(who + "AppArmor profile \"mf-test\": open /etc/shadow (requested r)") &&
           trace.lines.contains(who + "SELinux: write on dir \"etc\"") &&
           trace.lines.contains(who + "seccomp: system call socket (41), which ended it with SIGSYS");
  })) << trace.lines.joined();
  EXPECT_FALSE(trace.lines.contains("[" + std::to_string(stranger) + "]")) << trace.lines.joined();
  for (const pid_t pid : {trace.pid, stranger}) {
    ::kill(pid, SIGKILL);
    reap(pid);
  }
}

}  // namespace
}  // namespace mf
