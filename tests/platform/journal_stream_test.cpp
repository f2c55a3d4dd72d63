// The journalctl log stream against a real systemd-journald.

#include <gtest/gtest.h>

#include <csignal>
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

// The journalctl we started for `name`, found among our children.
pid_t journalctlFor(const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pidText = entry.path().filename();
    if (pidText.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (text.rfind("journalctl", 0) == 0 && text.find("SYSLOG_IDENTIFIER=" + name) != std::string::npos) {
      return static_cast<pid_t>(std::stoi(pidText));
    }
  }
  return -1;
}

TEST(JournalLogStream, LinesOfTheNamedProcessArriveAndOthersDoNot) {
  const std::string name = uniqueName();
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  auto result = launcher.start(name, lines.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;

  sd_journal_send("MESSAGE=hello from the api", "SYSLOG_IDENTIFIER=%s", name.c_str(), "PRIORITY=6", nullptr);
  sd_journal_send("MESSAGE=someone else", "SYSLOG_IDENTIFIER=%s-other", name.c_str(), "PRIORITY=6", nullptr);
  posix::SpawnRequest cat;
  cat.argv = {"/bin/sh", "-c", "echo 'from systemd-cat: Permission denied' | systemd-cat -t " + name};
  auto child = posix::spawnProcess(cat);
  ASSERT_GT(child.pid, 0);

  ASSERT_TRUE(waitFor([&] { return lines.contains("hello from the api") && lines.contains("from systemd-cat"); }))
      << lines.joined();
  EXPECT_FALSE(lines.contains("someone else"));
  // short-iso-precise: "2026-01-01T12:00:00.123456+0000 host name[pid]: message"
  for (const auto& line : lines.lines()) EXPECT_NE(line.find(name + "["), std::string::npos) << line;
  EXPECT_TRUE(result.process->isRunning());
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED);
}

TEST(JournalLogStream, LinesWrittenJustBeforeTheStartAreNotLost) {
  // journalctl needs a moment to start reading; --since covers that moment.
  const std::string name = uniqueName();
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  auto result = launcher.start(name, lines.sink());
  ASSERT_TRUE(result.process);
  sd_journal_send("MESSAGE=immediately after the start", "SYSLOG_IDENTIFIER=%s", name.c_str(), nullptr);
  EXPECT_TRUE(waitFor([&] { return lines.contains("immediately after the start"); })) << lines.joined();
}

TEST(JournalLogStream, AJournalctlThatDiesEndsTheStreamCleanly) {
  const std::string name = uniqueName();
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  auto result = launcher.start(name, lines.sink());
  ASSERT_TRUE(result.process);
  pid_t journalctl = -1;
  ASSERT_TRUE(waitFor([&] { return (journalctl = journalctlFor(name)) > 0; }));
  ::kill(journalctl, SIGKILL);
  EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
  result.process->terminate();  // nothing left to signal
  result.process.reset();
  EXPECT_FALSE(testing::processExists(journalctl));
  EXPECT_TRUE(testing::zombieChildren().empty());
}

TEST(JournalLogStream, TeardownTerminatesJournalctlAndLeavesNothingBehind) {
  const auto descriptors = testing::openDescriptorCount();
  for (int i = 0; i < 5; ++i) {
    const std::string name = uniqueName();
    JournalLogStreamLauncher launcher;
    LineCollector lines;
    auto result = launcher.start(name, lines.sink());
    ASSERT_TRUE(result.process);
    pid_t journalctl = -1;
    ASSERT_TRUE(waitFor([&] { return (journalctl = journalctlFor(name)) > 0; }));
    result.process->terminate();
    result.process.reset();
    // It lingers for late lines, then ends by itself.
    EXPECT_TRUE(waitFor([&] { return !testing::processExists(journalctl); }, 5));
    EXPECT_TRUE(waitFor([&] { return launcher.lingeringStreams() == 0; }, 5));
  }
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
  EXPECT_TRUE(testing::zombieChildren().empty());
}

TEST(JournalLogStream, DestroyingTheLauncherEndsLingeringStreamsAtOnce) {
  const std::string name = uniqueName();
  pid_t journalctl = -1;
  {
    JournalLogStreamLauncher launcher;
    LineCollector lines;
    auto result = launcher.start(name, lines.sink());
    ASSERT_TRUE(result.process);
    ASSERT_TRUE(waitFor([&] { return (journalctl = journalctlFor(name)) > 0; }));
    result.process.reset();
    EXPECT_EQ(launcher.lingeringStreams(), 1u);
  }
  EXPECT_FALSE(testing::processExists(journalctl));
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

  JournalLogStreamLauncher::Options noTool;
  noTool.journalctl = "/nonexistent/journalctl";
  auto result = JournalLogStreamLauncher(noTool).start("x", nullptr);
  EXPECT_FALSE(result.process);
  EXPECT_EQ(result.errorDescription, "No such file or directory");
}

}  // namespace
}  // namespace mf
