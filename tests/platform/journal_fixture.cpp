// SPDX-License-Identifier: GPL-3.0-or-later
#include "journal_fixture.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "platform/log_stream.h"
#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf::testing {
namespace {

// Held shared by every test program while it runs.
constexpr const char* kLockFile = "/run/marrowfield-test-journald.lock";
// Held exclusively, and only for a moment, while a program decides whether to
// start a journald or whether it is the last one out. Kept apart from the
// lock above: waiting for that one exclusively would make each program wait
// for every other one running beside it to end. Neither file is removed, so
// a lock is always taken on the file the next program opens.
constexpr const char* kDecisionLockFile = "/run/marrowfield-test-journald.decide";
constexpr const char* kPidFile = "/run/marrowfield-test-journald.pid";

os::UniqueFd lock(const char* path, int operation) {
  os::UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (fd.valid()) os::retryOnEintr([&] { return ::flock(fd.get(), operation); });
  return fd;
}

}  // namespace

bool ensureSyslogSocketLink() {
  // A machine booted with systemd has /dev/log lead to journald's syslog
  // socket; a journald started by hand does not make it, and syslog() and
  // logger lines would go nowhere. Left in place afterwards, as on such a
  // machine: tests running beside this one may use it.
  std::error_code error;
  if (::getuid() == 0 && !std::filesystem::is_symlink("/dev/log", error) && !std::filesystem::exists("/dev/log", error)) {
    std::filesystem::create_symlink("/run/systemd/journal/dev-log", "/dev/log", error);
  }
  return std::filesystem::exists("/dev/log", error);
}

void JournalEnvironment::SetUp() {
  if (::geteuid() != 0) {
    // Only root can start a journald, or make the lock files in /run: an
    // ordinary user's tests use the running one as it is, or say why not.
    if (const auto reason = journalUnavailableReason()) {
      missing = "no journald to test against, and only root can start one: " + *reason;
    } else if (const auto unreadable = journalUnreadableReason({"/run/log/journal", "/var/log/journal"})) {
      missing = "the journal's tests need a user who may read it: " + *unreadable;
    }
    if (missing && everyTestNeedsIt_) GTEST_SKIP() << *missing;
    return;
  }
  // Nobody else decides meanwhile, so two programs never start two journalds
  // and none stops the journald that this one is about to use.
  const auto decision = lock(kDecisionLockFile, LOCK_EX);
  ASSERT_TRUE(decision.valid()) << "cannot open " << kDecisionLockFile;
  // Asked of journald itself, not of the code under test: a mutant of that
  // check must not start journalds that take the machine's sockets over.
  const auto answers = [] { return runProgram({"systemd-cat", "true"}).status == 0; };
  if (!answers()) {
    std::filesystem::create_directories("/run/systemd/journal");
    os::SpawnRequest request;
    request.argv = {"/lib/systemd/systemd-journald"};
    // Its own session: a terminal's Ctrl-C to the tests must not reach it
    // before the tests are done with it.
    request.newSession = true;
    auto journald = os::spawnProcess(request);
    ASSERT_GT(journald.pid, 0) << "cannot start systemd-journald: " << os::errorText(journald.error);
    std::ofstream(kPidFile) << journald.pid;
    ASSERT_TRUE(waitFor(answers, 15.0)) << "systemd-journald did not open its socket";
    // The group and ACLs a booted system's tmpfiles give the journal's
    // folders; without them the systemd-journal group reads nothing.
    runProgram({"systemd-tmpfiles", "--create", "--prefix", "/run/log/journal"});
  }
  ensureSyslogSocketLink();
  lockFd_ = lock(kLockFile, LOCK_SH).release();
  ASSERT_GE(lockFd_, 0) << "cannot open " << kLockFile;
}

void JournalEnvironment::TearDown() {
  if (lockFd_ < 0) return;
  const auto decision = lock(kDecisionLockFile, LOCK_EX);
  // Last one out stops the journald that a test program started.
  pid_t pid = 0;
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0 && std::ifstream(kPidFile) >> pid && pid > 0 &&
      os::processStatOf(pid).value_or(os::ProcessStat{}).name == "systemd-journal") {
    auto pidfd = os::pidfdOpen(pid);
    if (pidfd.valid() && os::pidfdSendSignal(pidfd.get(), SIGTERM) == 0) waitFor([pid] { return !processExists(pid); }, 10.0);
    ::unlink(kPidFile);
  }
  ::close(lockFd_);
  lockFd_ = -1;
}

}  // namespace mf::testing
