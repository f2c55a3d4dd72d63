// SPDX-License-Identifier: GPL-3.0-or-later
// The journal restarting under a trace. The shared journald of the other
// tests must not go away under them, so this program moves into a mount
// namespace of its own at start, with empty journal directories, and runs
// a private systemd-journald there.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "journal_fixture.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf {
namespace {

using testing::Window;

// Why the private namespace could not be made; empty when it was.
std::string gNamespaceProblem;

std::string enterPrivateJournalNamespace() {
  // Nothing mounted here may show up outside.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "a private mount namespace: " + posix::errorText(errno);
  }
  for (const char* dir : {"/run/systemd/journal", "/run/log", "/var/log/journal"}) {
    std::error_code ignored;
    // Directories are shared with the system: a /var/log/journal created
    // here would make the system's journald keep its journal on disk.
    if (std::string_view(dir).starts_with("/run/")) std::filesystem::create_directories(dir, ignored);
    if (std::filesystem::is_directory(dir, ignored) && ::mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) {
      return std::string("tmpfs on ") + dir + ": " + posix::errorText(errno);
    }
  }
  return {};
}

// A systemd-journald of this test's own, stopped by its pid.
struct PrivateJournald {
  pid_t pid = -1;
  bool start() {
    posix::SpawnRequest request;
    request.argv = {"/lib/systemd/systemd-journald"};
    request.newSession = true;
    pid = posix::spawnProcess(request).pid;
    return pid > 0 && testing::waitFor([] { return !journalUnavailableReason(); }, 15);
  }
  void stop() {
    if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~PrivateJournald() { stop(); }
};

TEST(JournaldFaults, AJournaldRestartDuringATraceNeitherHangsNorHidesTheOutcome) {
  if (!gNamespaceProblem.empty()) GTEST_SKIP() << "no private mount namespace: " << gNamespaceProblem;
  testing::TempDir dir;
  PrivateJournald journald;
  ASSERT_TRUE(journald.start());
  Window window;
  // A target that logs through a helper (logger, a child of its own) until
  // told to stop, then writes to its stderr, which is a journal stream.
  const std::string name = "ticker-" + testing::randomSuffix();
  const auto stop = dir.path() / "stop";
  window.choose(dir.write(name, "#!/bin/sh\ni=0\nwhile [ ! -e '" + stop.string() +
                                    "' ]; do i=$((i+1)); logger -t ticker \"tick $i\"; sleep 0.1; done\n"
                                    "echo 'printed on stdout before stderr'\necho 'written to stderr' >&2\n"
                                    "echo 'after stderr'\n",
                          true).string());
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid() && window.find("tick 2"); })) << window.dump();

  // journald goes away and comes back while the target goes on: one that
  // does not write to its stream does not notice. The trace's journalctl
  // follows the new journald's files: the helper's lines keep coming.
  journald.stop();
  ASSERT_TRUE(journald.start());
  const std::size_t ticksBefore = window.count("tick ");
  EXPECT_TRUE(window.runUntil([&] { return window.count("tick ") >= ticksBefore + 3; })) << window.dump();
  EXPECT_TRUE(window.tracingPid());

  // Now the target writes to stderr, the stream the old journald held: the
  // write fails with EPIPE and the default SIGPIPE ends it; the trace says
  // so instead of hanging or claiming a clean exit. Its stdout, which we
  // read ourselves, got through.
  std::ofstream(stop.string()).put('\n');
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();
  ASSERT_TRUE(window.find("(SIGPIPE)")) << window.dump();
  EXPECT_EQ(window.find("(SIGPIPE)")->type, EventType::error);
  EXPECT_TRUE(window.find("printed on stdout before stderr")) << window.dump();
  EXPECT_FALSE(window.find("after stderr"));

  // The next trace meets the new journald and works as before.
  window.choose(testing::demoEntry(dir, "").entry);
  window.view.startTrace();
  EXPECT_TRUE(window.runUntil([&] {
    return window.ended() && window.find("Ready for work") && window.find("error: failed to connect");
  })) << window.dump();
}

}  // namespace
}  // namespace mf

int main(int argc, char** argv) {
  // Before any thread exists, so every thread and child is inside.
  mf::gNamespaceProblem = mf::enterPrivateJournalNamespace();
  mf::testing::ensureSyslogSocketLink();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
