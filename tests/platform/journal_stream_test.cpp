// SPDX-License-Identifier: GPL-3.0-or-later
// The journalctl log stream against a real systemd-journald. Which entries
// a trace believes (crash reports, loss notes) is decided on parsed entries,
// in journal_capture_test; here, that the stream hands it the right ones.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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

pid_t spawnShell(const std::string& script) {
  posix::SpawnRequest request;
  request.argv = {"/bin/sh", "-c", script};
  return posix::spawnProcess(request).pid;
}

TEST(JournalLogStream, LinesOfTheFollowedTreeArriveAndOthersDoNot) {
  const std::string name = "mftest-" + testing::randomSuffix();
  LineCollector lines;
  auto launcher = std::make_unique<JournalLogStreamLauncher>();
  auto result = launcher->start(name, lines.sink());
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
  for (const pid_t pid : {stranger, tree}) ::waitpid(pid, nullptr, 0);
  // A marker after everything else: once it is in, nothing earlier is on the way.
  ::waitpid(spawnShell("true"), nullptr, 0);
  EXPECT_FALSE(lines.contains("a stranger under the same name")) << lines.joined();
  EXPECT_FALSE(lines.contains("sent by the tracer itself")) << lines.joined();
  // "name[pid]: message", with the sender's own name.
  EXPECT_TRUE(lines.contains("other-name[")) << lines.joined();

  // A closed stream lingers for late lines; its launcher's end ends it.
  EXPECT_TRUE(result.process->isRunning());
  result.process.reset();
  EXPECT_EQ(launcher->lingeringStreams(), 1u);
  launcher.reset();
  for (const auto& child : testing::childProcesses()) EXPECT_NE(child.name, "journalctl") << child.state;
}

TEST(JournalLogStream, NoJournalOrAJournalctlThatGivesUpGivesAReadableReason) {
  testing::TempDir dir;
  // No socket, and a socket file left behind by a journald that died, which
  // refuses connections.
  const auto stale = dir.path() / "stale";
  {
    posix::UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    stale.string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  for (const auto& socket : {dir.path() / "socket", stale}) {
    JournalLogStreamLauncher::Options options;
    options.journalSocket = socket.string();
    EXPECT_EQ(JournalLogStreamLauncher(options).start("x", nullptr).errorDescription, "the systemd journal is not running");
  }

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
}

}  // namespace
}  // namespace mf
