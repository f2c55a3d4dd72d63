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

using testing::LineCollector;
using testing::waitFor;

// Time for a line to go from the kernel through journald to the trace.
constexpr double kDeadline = 10.0;

std::optional<std::string> kernelLinesUnavailable() {
  if (auto reason = kernelMessagesUnavailableReason()) return reason;
  std::ifstream trace("/proc/sys/debug/exception-trace");
  int enabled = 1;
  if (trace >> enabled && enabled == 0) return "the kernel does not log unhandled faults (debug.exception-trace is 0)";
  return std::nullopt;
}

// The line of `file` that holds `marker`, counted from 1.
int lineOf(const std::string& file, const std::string& marker) {
  std::ifstream source(file);
  std::string line;
  for (int number = 1; std::getline(source, line); ++number) {
    if (line.find(marker) != std::string::npos) return number;
  }
  return 0;
}

// The hexadecimal offset after `marker` in `text`.
std::optional<std::uint64_t> faultOffset(const std::string& text, const std::string& marker) {
  const auto at = text.find(marker);
  if (at == std::string::npos) return std::nullopt;
  return std::stoull(text.substr(at + marker.size()), nullptr, 16);
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
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  ArmResult stream;
  pid_t pid = -1;

  explicit Traced(const std::vector<std::string>& argv) {
    stream = launcher.start("crash-program", lines.sink());
    if (!stream.process) return;
    pid = spawn(argv);
    // The launcher names what it ran, as the workspace does: the program
    // may be a zombie before it is followed.
    if (pid > 0) stream.process->follow(LaunchedProcess{pid, "", argv.front()});
  }
};

TEST(KernelWitness, ASegfaultIsNamedByFunctionAndSourceLine) {
  if (const auto reason = kernelLinesUnavailable()) GTEST_SKIP() << *reason;
  struct Case {
    const char* mode;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"null", "in main (crash_program.cpp:" +
                   std::to_string(lineOf(MARROWFIELD_CRASH_PROGRAM_SOURCE, "// the fault in main")) +
                   "), crash-program+0x"},
      {"library", "in mfcrash::writeThrough(int volatile*) (crash_library.cpp:" +
                      std::to_string(lineOf(MARROWFIELD_CRASH_LIBRARY_SOURCE, "// the fault in the library")) +
                      "), libmfcrash.so+0x"},
      // The kernel names the faulting thread by its own id, not the process's.
      {"thread", "in f (crash_program.cpp:" +
                     std::to_string(lineOf(MARROWFIELD_CRASH_PROGRAM_SOURCE, "// the fault in the thread")) +
                     "), crash-program+0x"},
  };
  std::optional<std::uint64_t> mainFault;
  for (const auto& c : cases) {
    // The kernel logs at most 10 faults in 5 s (printk_ratelimit), and other
    // tests crash programs too: a crash whose line never came is tried again.
    bool reported = false;
    for (int attempt = 0; attempt < 3 && !reported; ++attempt) {
      Traced trace({MARROWFIELD_CRASH_PROGRAM, c.mode});
      ASSERT_TRUE(trace.stream.process) << trace.stream.errorDescription;
      ASSERT_GT(trace.pid, 0);
      EXPECT_TRUE(WIFSIGNALED(reap(trace.pid)));
      const std::string who = c.mode == std::string("thread")
                                  ? std::string("] crashed")
                                  : "kernel: crash-program[" + std::to_string(trace.pid) + "] crashed";
      reported = waitFor([&] { return trace.lines.contains(who); }, kDeadline);
      if (reported) {
        EXPECT_TRUE(trace.lines.contains(who + " " + c.expected)) << trace.lines.joined();
        if (c.mode == std::string("null")) mainFault = faultOffset(trace.lines.joined(), "crash-program+0x");
      }
    }
    EXPECT_TRUE(reported) << c.mode << ": the kernel's line never came";
  }

  // An older kernel writes only where the mapping starts: the file offset
  // follows from the program's load segments, with the real mapping of a
  // running copy standing in for the crashed one's.
  ASSERT_TRUE(mainFault);
  const pid_t running = spawn({MARROWFIELD_CRASH_PROGRAM, "wait"});
  ASSERT_GT(running, 0);
  std::uint64_t start = 0;
  std::uint64_t pageOffset = 0;
  const auto readMapping = [&] {
    std::ifstream maps("/proc/" + std::to_string(running) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
      std::istringstream fields(line);
      std::string range, permissions, offset, device, inode, path;
      fields >> range >> permissions >> offset >> device >> inode >> path;
      if (permissions == "r-xp" && path == MARROWFIELD_CRASH_PROGRAM) {
        start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        pageOffset = std::stoull(offset, nullptr, 16);
      }
    }
    return start != 0;
  };
  // The spawn may return before the program replaced the forked copy.
  const bool mapped = waitFor(readMapping);
  ::kill(running, SIGKILL);
  reap(running);
  ASSERT_TRUE(mapped) << "no executable mapping of the program";
  char old[256];
  std::snprintf(old, sizeof old, "crash-program[7]: segfault at 0 ip %016llx sp 0 error 6 in crash-program[%llx+1000]",
                static_cast<unsigned long long>(start + *mainFault - pageOffset), static_cast<unsigned long long>(start));
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
  EXPECT_EQ(report->fileOffset, *mainFault);
}

// A memory cgroup of its own with a small limit: v2's memory.max where the
// unified hierarchy has the memory controller, else v1's limit_in_bytes.
class MemoryCgroup {
 public:
  explicit MemoryCgroup(long long bytes) {
    const std::string name = "marrowfield-oom-" + testing::randomSuffix();
    if (std::ifstream controllers("/sys/fs/cgroup/cgroup.controllers"); controllers) {
      std::string all((std::istreambuf_iterator<char>(controllers)), {});
      if (all.find("memory") == std::string::npos) {
        reason_ = "the cgroup v2 hierarchy has no memory controller";
        return;
      }
      std::ofstream("/sys/fs/cgroup/cgroup.subtree_control") << "+memory";
      make("/sys/fs/cgroup/" + name, {{"memory.max", bytes}, {"memory.swap.max", 0}});
    } else if (::access("/sys/fs/cgroup/memory/memory.limit_in_bytes", F_OK) == 0) {
      make("/sys/fs/cgroup/memory/" + name, {{"memory.limit_in_bytes", bytes}, {"memory.memsw.limit_in_bytes", bytes}});
    } else {
      reason_ = "no memory cgroup controller is mounted";
    }
  }
  ~MemoryCgroup() {
    if (!path_.empty()) ::rmdir(path_.c_str());
  }
  const std::string& unavailable() const { return reason_; }
  std::string procs() const { return path_ + "/cgroup.procs"; }

 private:
  void make(const std::string& path, const std::vector<std::pair<std::string, long long>>& limits) {
    if (::mkdir(path.c_str(), 0755) != 0) {
      reason_ = "cannot create " + path + ": " + std::strerror(errno);
      return;
    }
    path_ = path;
    for (const auto& [file, value] : limits) {
      // The swap limits exist only where swap accounting is on; the first
      // limit is the one that matters.
      std::ofstream limit(path + "/" + file);
      limit << value;
      limit.flush();
      if (!limit && file == limits.front().first) reason_ = "cannot set " + path + "/" + file;
    }
  }

  std::string path_;
  std::string reason_;
};

TEST(KernelWitness, AnOomKillAtACgroupLimitExplainsTheKill) {
  if (::geteuid() != 0) GTEST_SKIP() << "a memory-limited cgroup needs root";
  if (const auto reason = kernelMessagesUnavailableReason()) GTEST_SKIP() << *reason;
  MemoryCgroup cgroup(32 << 20);
  if (!cgroup.unavailable().empty()) GTEST_SKIP() << cgroup.unavailable();
  // The shell joins the cgroup and becomes the hog: the launched pid is the one killed.
  Traced trace({"/bin/sh", "-c", "echo $$ > " + cgroup.procs() + " && exec " MARROWFIELD_CRASH_PROGRAM " hog"});
  ASSERT_TRUE(trace.stream.process) << trace.stream.errorDescription;
  ASSERT_GT(trace.pid, 0);
  const int status = reap(trace.pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  const std::string expected = "kernel: crash-program[" + std::to_string(trace.pid) +
                               "] crashed: the kernel's out-of-memory killer ended it because its memory cgroup "
                               "reached its limit (total-vm:";
  EXPECT_TRUE(waitFor([&] { return trace.lines.contains(expected); }, kDeadline)) << trace.lines.joined();
}

TEST(KernelWitness, DenialsOfTheTreeAreKeptAndOthersAreNot) {
  if (::geteuid() != 0) GTEST_SKIP() << "writing to /dev/kmsg needs root";
  if (const auto reason = kernelMessagesUnavailableReason()) GTEST_SKIP() << *reason;
  const int kmsg = ::open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
  if (kmsg < 0) GTEST_SKIP() << "cannot write to /dev/kmsg: " << std::strerror(errno);
  Traced trace({MARROWFIELD_CRASH_PROGRAM, "wait"});
  ASSERT_TRUE(trace.stream.process) << trace.stream.errorDescription;
  ASSERT_GT(trace.pid, 0);
  const pid_t stranger = spawn({MARROWFIELD_CRASH_PROGRAM, "wait"});
  ASSERT_GT(stranger, 0);
  const auto denials = [](pid_t pid) {
    const std::string p = std::to_string(pid);
    return std::vector<std::string>{
        "audit: type=1400 audit(1796655882.123:45): apparmor=\"DENIED\" operation=\"open\" class=\"file\" "
        "profile=\"mf-test\" name=\"/etc/shadow\" pid=" + p + " comm=\"crash-program\" requested_mask=\"r\" "
        "denied_mask=\"r\" fsuid=0 ouid=0",
        "audit: type=1400 audit(1796655882.124:46): avc:  denied  { write } for  pid=" + p +
            " comm=\"crash-program\" name=\"etc\" dev=\"vda\" ino=2 scontext=user_u:user_r:user_t:s0 "
            "tcontext=system_u:object_r:etc_t:s0 tclass=dir permissive=0",
        "audit: type=1326 audit(1796655882.125:47): auid=4294967295 uid=0 gid=0 ses=4294967295 subj=unconfined pid=" +
            p + " comm=\"crash-program\" exe=\"/x\" sig=31 arch=c000003e syscall=41 compat=0 ip=0x7f0 code=0x80000000",
    };
  };
  // The stranger's lines go first: once the tree's are in, the stranger's
  // were read before them.
  for (const pid_t pid : {stranger, trace.pid}) {
    for (const auto& line : denials(pid)) ASSERT_GT(::write(kmsg, line.data(), line.size()), 0);
  }
  // journald here may read the last line of a burst only with the next one.
  const std::string end = "marrowfield test: end of denials";
  [[maybe_unused]] const auto wrote = ::write(kmsg, end.data(), end.size());
  ::close(kmsg);
  const std::string who = "crash-program[" + std::to_string(trace.pid) + "] permission denied by ";
  EXPECT_TRUE(waitFor([&] {
    return trace.lines.contains(who + "AppArmor profile \"mf-test\": open /etc/shadow (requested r)") &&
           trace.lines.contains(who + "SELinux: write on dir \"etc\"") &&
           trace.lines.contains(who + "seccomp: system call socket (41), which ended it with SIGSYS");
  }, kDeadline)) << trace.lines.joined();
  EXPECT_FALSE(trace.lines.contains("[" + std::to_string(stranger) + "]")) << trace.lines.joined();
  for (const pid_t pid : {trace.pid, stranger}) {
    ::kill(pid, SIGKILL);
    reap(pid);
  }
}

}  // namespace
}  // namespace mf
