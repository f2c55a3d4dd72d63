// SPDX-License-Identifier: GPL-3.0-or-later
// The journal itself failing under a trace: absent from the start, stopped
// and started again while a target runs. The shared journald of the other
// tests must not go away under them, so this program moves into a mount
// namespace of its own at start, with empty journal directories, and runs
// a private systemd-journald there.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>

#include "journal_fixture.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf {
namespace {

using testing::Window;
using testing::waitFor;

// Why the private namespace could not be made; empty when it was.
std::string gNamespaceProblem;

std::string enterPrivateJournalNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) return "unshare(CLONE_NEWNS): " + posix::errorText(errno);
  // Nothing mounted here may show up outside.
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "making / private: " + posix::errorText(errno);
  }
  for (const char* dir : {"/run/systemd/journal", "/run/log", "/var/log/journal"}) {
    std::error_code ignored;
    // Directories are shared with the system: a /var/log/journal created
    // here would make the system's journald keep its journal on disk.
    if (std::string_view(dir).starts_with("/run/")) std::filesystem::create_directories(dir, ignored);
    if (!std::filesystem::is_directory(dir, ignored)) continue;
    if (::mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) return std::string("tmpfs on ") + dir + ": " + posix::errorText(errno);
  }
  return {};
}

class PrivateJournald {
 public:
  ~PrivateJournald() { stop(); }
  bool start() {
    posix::SpawnRequest request;
    request.argv = {"/lib/systemd/systemd-journald"};
    request.newSession = true;
    auto child = posix::spawnProcess(request);
    if (child.pid < 0) return false;
    pid_ = child.pid;
    return waitFor([] { return !journalUnavailableReason(); }, 15);
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class JournaldFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gNamespaceProblem.empty()) GTEST_SKIP() << "no private mount namespace: " << gNamespaceProblem;
  }
  testing::TempDir dir;
};

TEST_F(JournaldFaults, AJournaldRestartDuringATraceNeitherHangsNorHidesTheOutcome) {
  PrivateJournald journald;
  ASSERT_TRUE(journald.start());
  Window window;
  // A target that logs through a helper (logger, a child of its own) until
  // told to stop, then writes to its stderr, which is a journal stream.
  const std::string name = "ticker-" + testing::randomSuffix();
  const auto stop = dir.path() / "stop";
  const auto program = dir.write(name, "#!/bin/sh\ni=0\nwhile [ ! -e '" + stop.string() +
                                           "' ]; do i=$((i+1)); logger -t ticker \"tick $i\"; sleep 0.1; done\n"
                                           "echo 'printed on stdout before stderr'\n"
                                           "echo 'written to stderr' >&2\necho 'after stderr'\n",
                                 true);
  window.choose(program.string());
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.tracingPid() && window.find("tick 2"); })) << window.dump();
  const pid_t target = window.targetPid();

  // journald goes away and comes back while the target goes on: one that
  // does not write to its stream does not notice.
  journald.stop();
  ASSERT_TRUE(journald.start());
  EXPECT_TRUE(testing::processExists(target));
  EXPECT_TRUE(window.tracingPid());
  // The trace's journalctl follows the new journald's files: the helper's
  // lines keep coming.
  const std::size_t ticksBefore = window.count("tick ");
  EXPECT_TRUE(window.runUntil([&] { return window.count("tick ") >= ticksBefore + 3; })) << window.dump();

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
  EXPECT_EQ(window.count(name + " terminated"), 1u);
  ASSERT_EQ(window.view.sessions().size(), 1u);

  // The next trace meets the new journald and works as before.
  const auto second = testing::demoEntry(dir, "");
  window.choose(second.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] {
    return window.ended() && window.find("Ready for work") && window.find("error: failed to connect");
  })) << window.dump();
  EXPECT_EQ(window.view.events().at(1).message, "Unified log stream armed for process " + second.name);
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
