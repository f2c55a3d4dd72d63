// SPDX-License-Identifier: GPL-3.0-or-later
// The journalctl log stream against a real systemd-journald.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <unistd.h>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include "journal_fixture.h"
#include "platform/log_stream.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::LineCollector;
using testing::waitFor;

std::string uniqueName() { return "mftest-" + testing::randomSuffix(); }

// The journalctl this process started last.
pid_t journalctlFor() {
  const auto all = testing::journalctlChildren();
  return all.empty() ? -1 : *std::max_element(all.begin(), all.end());
}

pid_t spawnShell(const std::string& script) {
  posix::SpawnRequest request;
  request.argv = {"/bin/sh", "-c", script};
  auto child = posix::spawnProcess(request);
  return child.pid;
}

void reap(pid_t pid) {
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED);
}

TEST(JournalLogStream, LinesOfTheFollowedTreeArriveAndOthersDoNot) {
  const std::string name = uniqueName();
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  auto result = launcher.start(name, lines.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;

  // The tree: a shell whose children log under names of their own.
  const pid_t tree = spawnShell("echo 'from systemd-cat: Permission denied' | systemd-cat -t " + name +
                                "; logger -t other-name 'from a logger child'; "
                                "sh -c 'logger -t deeper \"from a grandchild\"'");
  ASSERT_GT(tree, 0);
  result.process->follow(LaunchedProcess{tree, ""});
  // Beside it: the same identifier from another process, and from us.
  const pid_t stranger = spawnShell("logger -t " + name + " 'a stranger under the same name'");
  sd_journal_send("MESSAGE=sent by the tracer itself", "SYSLOG_IDENTIFIER=%s", name.c_str(), "PRIORITY=6", nullptr);

  ASSERT_TRUE(waitFor([&] {
    return lines.contains("from systemd-cat") && lines.contains("from a logger child") &&
           lines.contains("from a grandchild");
  })) << lines.joined();
  reap(stranger);
  reap(tree);
  // A marker after everything else: once it is in, nothing earlier is on the way.
  const pid_t marker = spawnShell("true");
  reap(marker);
  EXPECT_FALSE(lines.contains("a stranger under the same name")) << lines.joined();
  EXPECT_FALSE(lines.contains("sent by the tracer itself")) << lines.joined();
  // "name[pid]: message", with the sender's own name.
  EXPECT_TRUE(lines.contains("other-name[")) << lines.joined();
  EXPECT_TRUE(result.process->isRunning());
}

TEST(JournalLogStream, CrashReportsAndLossNotesAreBelievedOnlyFromTheirSenders) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can send as systemd-coredump does";
  const std::string name = uniqueName();
  const std::string unit = "app-marrowfield-" + name + "-0badcafe.scope";
  testing::TempDir dir;
  // The kernel names a process after its executable: this copy sends as "systemd-coredum".
  const auto coredump = dir.path() / "systemd-coredump";
  std::filesystem::copy_file("/usr/bin/logger", coredump);
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  auto result = launcher.start(name, lines.sink());
  ASSERT_TRUE(result.process);
  const pid_t member = spawnShell("exit 0");
  ASSERT_GT(member, 0);
  reap(member);
  result.process->follow(LaunchedProcess{member, unit});

  auto sendEntry = [](const std::string& sender, const std::string& fields) {
    reap(spawnShell("printf '%s' '" + fields + "' | " + sender + " --journald"));
  };
  const std::string pid = std::to_string(member);
  auto report = [&](const std::string& who) {
    return "MESSAGE_ID=fc2e22bc6ee647b6b90729ab34a250b1\nPRIORITY=2\nSYSLOG_IDENTIFIER=systemd-coredump\n"
           "COREDUMP_PID=" + pid + "\nCOREDUMP_COMM=" + name + "\nMESSAGE=Process " + pid + " (" + name +
           ") of user 0 dumped core. Sent by " + who + "\n";
  };
  // An ordinary user's forgeries (nobody's).
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups logger";
  sendEntry(asNobody, report("a forger"));
  sendEntry(asNobody, "MESSAGE_ID=a596d6fe7bfa4994828e72309e95d61e\nPRIORITY=5\nSYSLOG_IDENTIFIER=systemd-journald\n"
                      "N_DROPPED=4711\nMESSAGE=Suppressed 4711 messages from " + unit + "\n");
  sendEntry(coredump.string(), report("systemd-coredump"));
  ASSERT_TRUE(waitFor([&] { return lines.contains("Sent by systemd-coredump"); })) << lines.joined();
  EXPECT_TRUE(lines.contains(name + "[" + pid + "] crashed. Process " + pid)) << lines.joined();
  EXPECT_FALSE(lines.contains("a forger")) << lines.joined();
  EXPECT_FALSE(lines.contains("Suppressed 4711")) << lines.joined();
}

TEST(JournalLogStream, AClosedStreamLingersThenEndsOrEndsAtOnceWithItsLauncher) {
  const auto descriptors = testing::openDescriptorCount();
  pid_t journalctl = -1;
  {
    JournalLogStreamLauncher launcher;
    for (const bool waitForTheEnd : {true, false}) {
      LineCollector lines;
      auto result = launcher.start(uniqueName(), lines.sink());
      ASSERT_TRUE(result.process);
      ASSERT_TRUE(waitFor([&] { return (journalctl = journalctlFor()) > 0; }));
      result.process.reset();
      EXPECT_EQ(launcher.lingeringStreams(), 1u);  // for late lines
      if (waitForTheEnd) {
        EXPECT_TRUE(waitFor([&] { return !testing::processExists(journalctl) && launcher.lingeringStreams() == 0; }, 5));
      }
    }
  }
  EXPECT_FALSE(testing::processExists(journalctl));
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
  EXPECT_TRUE(testing::zombieChildren().empty());
}

TEST(JournalLogStream, NoJournalOrNoJournalctlGivesAReadableReason) {
  testing::TempDir dir;
  JournalLogStreamLauncher::Options noSocket;
  noSocket.journalSocket = (dir.path() / "socket").string();
  EXPECT_EQ(JournalLogStreamLauncher(noSocket).start("x", nullptr).errorDescription,
            "the systemd journal is not running");

  // A socket file left behind by a journald that died refuses connections.
  const auto stale = dir.path() / "stale";
  {
    posix::UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    stale.string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  JournalLogStreamLauncher::Options staleSocket;
  staleSocket.journalSocket = stale.string();
  EXPECT_EQ(JournalLogStreamLauncher(staleSocket).start("x", nullptr).errorDescription,
            "the systemd journal is not running");

  // A journalctl that gives up is reported with the last thing it said.
  JournalLogStreamLauncher::Options givesUp;
  givesUp.journalctl =
      dir.write("journalctl", "#!/bin/sh\necho 'first words' >&2\necho 'No journal files were opened.' >&2\nexit 1\n", true)
          .string();
  auto ended = JournalLogStreamLauncher(givesUp).start("x", [](LineBatch) {});
  ASSERT_TRUE(ended.process) << ended.errorDescription;
  LineCollector said;
  ended.process->notifyOnUnexpectedEnd([sink = said.sink()](std::string reason) { sink(LineBatch::of({reason})); });
  ASSERT_TRUE(waitFor([&] { return !said.lines().empty(); }));
  EXPECT_TRUE(said.lines()[0].ends_with("exited with status 1: No journal files were opened.")) << said.lines()[0];

  JournalLogStreamLauncher::Options noTool;
  noTool.journalctl = "/nonexistent/journalctl";
  auto result = JournalLogStreamLauncher(noTool).start("x", nullptr);
  EXPECT_FALSE(result.process);
  EXPECT_EQ(result.errorDescription, "No such file or directory");
}

}  // namespace
}  // namespace mf
