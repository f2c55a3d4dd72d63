// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel's own line about a traced process, through a real journald: a
// real segfault in a program, in a shared library and in a thread, named by
// function and source line. (Every other form the kernel writes, and which
// process each names, is read from its text in kernel_report_test and
// journal_capture_test.)

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>

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

}  // namespace
}  // namespace mf
