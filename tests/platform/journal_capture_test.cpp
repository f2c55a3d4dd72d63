// SPDX-License-Identifier: GPL-3.0-or-later
// What a trace takes from the journal: journalctl's export format cut at any
// byte, which entries belong to the launched process tree, and how each
// reads; the fork events of a real process tree.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analysis/classify.h"
#include "platform/journal_capture.h"
#include "platform/journal_export.h"
#include "platform/process_tree.h"
#include "platform/spawn.h"
#include "platform/user_scope.h"
#include "platform_test_support.h"

namespace mf {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<JournalEntry> parseInChunks(std::string_view bytes, std::size_t chunk) {
  std::vector<JournalEntry> entries;
  JournalExportParser parser([&](JournalEntry&& entry) { entries.push_back(std::move(entry)); });
  for (std::size_t at = 0; at < bytes.size(); at += chunk) parser.feed(bytes.substr(at, chunk));
  parser.finish();
  return entries;
}

const std::string kGolden = MARROWFIELD_PLATFORM_GOLDEN_DIR;

std::string timeText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  return text;
}

TEST(JournalExportParser, AnyChunkingGivesTheSameEntries) {
  const std::string bytes = readFile(kGolden + "/captured.export");
  const auto whole = parseInChunks(bytes, bytes.size());
  ASSERT_EQ(whole.size(), 17u);
  EXPECT_EQ(whole[11].message, "g_dbus_proxy_new: assertion failed\n  #0 frame one\n  #1 frame two");
  EXPECT_EQ(whole.back().message, "bad bytes \xEF\xBF\xBD\xEF\xBF\xBD here");
  for (const std::size_t chunk : {1u, 2u, 3u, 7u, 8u, 9u, 64u, 1000u}) {
    const auto pieces = parseInChunks(bytes, chunk);
    ASSERT_EQ(pieces.size(), whole.size()) << chunk;
    for (std::size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(pieces[i].message, whole[i].message) << chunk;
      EXPECT_EQ(pieces[i].pid, whole[i].pid) << chunk;
      EXPECT_EQ(pieces[i].priority, whole[i].priority) << chunk;
      EXPECT_EQ(pieces[i].realtimeMicros, whole[i].realtimeMicros) << chunk;
    }
  }
}

TEST(JournalExportParser, MalformedInputNeitherCrashesNorHoldsMemory) {
  // A binary field past the bound the parser holds is passed over exactly,
  // streamed in pieces: the entry it embeds must not come out as one.
  std::vector<JournalEntry> entries;
  JournalExportParser parser([&](JournalEntry&& entry) { entries.push_back(std::move(entry)); });
  const std::string forged = "\n\n_PID=4242\nMESSAGE=forged\n\n";
  const std::uint64_t size = (std::uint64_t{256} << 20) + forged.size() + 1;
  std::string header = "__REALTIME_TIMESTAMP=1\nMESSAGE\n";
  for (int i = 0; i < 8; ++i) header += static_cast<char>((size >> (8 * i)) & 0xFF);
  parser.feed(header + forged.substr(0, 3));
  parser.feed(forged.substr(3));
  const std::string zeros(std::size_t{1} << 20, '\n');
  for (std::uint64_t left = size - forged.size(); left > 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
    parser.feed(std::string_view(zeros).substr(0, n));
    left -= n;
  }
  parser.feed("\n\n_PID=1\nMESSAGE=after\n\n");  // the field's newline, then the end of its entry
  parser.finish();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].pid, 0);
  EXPECT_EQ(entries[0].message, "");
  EXPECT_EQ(entries[1].message, "after");
  // PRIORITY out of range or not a number counts as none; 7 (debug) is one.
  // The last entry needs no blank line after it: the end of the stream ends it.
  const auto odd = parseInChunks("PRIORITY=9\nMESSAGE=a\n\nPRIORITY=x\nMESSAGE=b\n\nPRIORITY=7\nMESSAGE=c\n", 3);
  ASSERT_EQ(odd.size(), 3u);
  EXPECT_EQ(odd[0].priority, -1);
  EXPECT_EQ(odd[1].priority, -1);
  EXPECT_EQ(odd[2].priority, 7);
}

// Every entry of the golden export, as the trace of the process tree 4242
// (with children 4243, 4244) in the scope app-marrowfield-calc-0badcafe.scope
// shows it: captured or not, the classification, where it came from, when it
// was written (the sender's own time where the entry has one) and the
// rendered line.
TEST(JournalCapture, GoldenEntriesAreDecidedRenderedAndClassified) {
  CaptureScope scope;
  scope.processName = "calc";
  scope.identifier = "calc";
  scope.self = 99999;
  scope.root = 4242;
  scope.unit = "app-marrowfield-calc-0badcafe.scope";
  const auto isMember = [](pid_t pid) { return pid == 4242 || pid == 4243 || pid == 4244; };
  const LineClassifier classifier("org.gnome.Calculator");
  std::string got;
  for (const auto& entry : parseInChunks(readFile(kGolden + "/captured.export"), 4096)) {
    const Verdict verdict = captureVerdict(entry, scope, isMember);
    if (verdict != Verdict::capture) {
      got += "skip\t" + entry.message.substr(0, 40) + "\n";
      continue;
    }
    const std::string line = renderJournalEntry(entry, scope);
    const LineInfo info = journalLineInfo(entry, scope);
    const Classification c = classifier.classify(trimWhitespace(line), info);
    std::string shown = line;
    for (auto& ch : shown) {
      if (ch == '\n') ch = '|';
    }
    got += std::string(label(c.type)) + "\t" + std::string(c.source) + "\t" + (c.isRoutineNoise ? "noise" : "-") +
           "\t" + std::string(originName(info.origin)) + "\t" + timeText(info.time) + "\t" + shown + "\n";
  }
  const std::string expectedPath = kGolden + "/captured.tsv";
  if (std::getenv("MARROWFIELD_REGEN_GOLDEN")) std::ofstream(expectedPath, std::ios::binary) << got;
  EXPECT_EQ(got, readFile(expectedPath)) << "regenerate with MARROWFIELD_REGEN_GOLDEN=1 and review the diff";
}

struct VerdictCase {
  const char* what;
  JournalEntry entry;
  pid_t root;
  Verdict expected;
};

TEST(JournalCapture, TheTreeTheStreamAndNothingElse) {
  auto entry = [](std::int32_t pid, std::string transport, std::string identifier) {
    JournalEntry e;
    e.pid = pid;
    e.transport = std::move(transport);
    e.identifier = std::move(identifier);
    e.message = "m";
    return e;
  };
  JournalEntry crashOfMember = entry(77, "journal", "systemd-coredump");
  crashOfMember.messageId = std::string(kCoredumpMessageId);
  crashOfMember.coredumpPid = 4243;
  crashOfMember.uid = 0;
  crashOfMember.comm = "systemd-coredum";
  JournalEntry crashOfStranger = crashOfMember;
  crashOfStranger.coredumpPid = 5000;
  // Anyone may send these fields; a forged report by a stranger names a member.
  JournalEntry forgedCrash = crashOfMember;
  forgedCrash.pid = 5000;
  forgedCrash.uid = 1000;
  forgedCrash.comm = "python3";
  JournalEntry forgedCrashNamedAlike = forgedCrash;  // a stranger's program named systemd-coredump
  forgedCrashNamedAlike.comm = "systemd-coredum";
  JournalEntry forgedCrashAsRoot = crashOfMember;
  forgedCrashAsRoot.pid = 5000;
  forgedCrashAsRoot.comm = "logger";
  // systemd-coredump exits right after its report: journald may not get to
  // read its name.
  JournalEntry crashOfMemberSenderGone = crashOfMember;
  crashOfMemberSenderGone.comm.clear();
  JournalEntry otherScope = entry(5000, "journal", "x");
  otherScope.userUnit = "app-gnome-other-1.scope";
  JournalEntry ourScope = entry(5001, "journal", "x");
  ourScope.userUnit = "app-marrowfield-calc-1.scope";
  JournalEntry droppedOurs = entry(12, "driver", "systemd-journald");
  droppedOurs.messageId = std::string(kJournalDroppedMessageId);
  droppedOurs.message = "Suppressed 3 messages from app-marrowfield-calc-1.scope";
  JournalEntry droppedTheirs = droppedOurs;
  droppedTheirs.message = "Suppressed 3 messages from app-gnome-other-1.scope";
  JournalEntry forgedDrop = droppedOurs;
  forgedDrop.pid = 5000;
  forgedDrop.transport = "journal";
  JournalEntry ourStream = entry(0, "stdout", "calc");
  ourStream.streamId = "ours";
  JournalEntry daemonOnOurStream = entry(6000, "stdout", "calc");
  daemonOnOurStream.streamId = "ours";
  JournalEntry otherStreamWriterGone = entry(0, "stdout", "calc");
  otherStreamWriterGone.streamId = "theirs";

  const std::vector<VerdictCase> cases = {
      {"the launched process", entry(4242, "journal", "anything"), 4242, Verdict::capture},
      {"a descendant under its own name", entry(4243, "syslog", "other-name"), 4242, Verdict::capture},
      {"its stream line with the writer's pid", entry(4242, "stdout", "calc"), 4242, Verdict::capture},
      {"its stream line, writer gone", entry(0, "stdout", "calc"), 4242, Verdict::capture},
      {"another instance's stream", entry(5000, "stdout", "calc"), 4242, Verdict::skip},
      {"another instance's journal entry", entry(5000, "journal", "calc"), 4242, Verdict::skip},
      {"our own forwarded stdout", entry(99999, "journal", "calc"), 4242, Verdict::skip},
      {"our own stream", entry(99999, "stdout", "calc"), 4242, Verdict::skip},
      {"a member, before the launch is known", entry(4242, "journal", "x"), 0, Verdict::undecided},
      {"the stream, before the launch is known", entry(0, "stdout", "calc"), 0, Verdict::capture},
      {"a crash report of a member", crashOfMember, 4242, Verdict::capture},
      {"a crash report of a stranger", crashOfStranger, 4242, Verdict::skip},
      {"an entry of our scope", ourScope, 4242, Verdict::capture},
      {"an entry of another scope", otherScope, 4242, Verdict::skip},
      {"journald's note on our scope", droppedOurs, 4242, Verdict::capture},
      {"journald's note on another scope", droppedTheirs, 4242, Verdict::skip},
      {"a crash report forged by a stranger", forgedCrash, 4242, Verdict::skip},
      {"a crash report forged by root's logger", forgedCrashAsRoot, 4242, Verdict::skip},
      {"a crash report forged by a stranger's systemd-coredump", forgedCrashNamedAlike, 4242, Verdict::skip},
      {"a crash report whose sender was gone before journald read its name", crashOfMemberSenderGone, 4242,
       Verdict::capture},
      {"journald's note forged by a stranger", forgedDrop, 4242, Verdict::skip},
  };
  // Once the target's stream is known, its lines are told apart by it: an
  // orphaned helper that still writes there is in, another instance's stream
  // under the same name is out, whether or not its writer is gone.
  const std::vector<VerdictCase> streamCases = {
      {"our stream, writer gone", ourStream, 4242, Verdict::capture},
      {"our stream, written by a daemonised helper", daemonOnOurStream, 4242, Verdict::capture},
      {"another stream of the same name, writer gone", otherStreamWriterGone, 4242, Verdict::skip},
  };
  for (const auto* table : {&cases, &streamCases}) {
    for (const auto& c : *table) {
      CaptureScope scope;
      scope.identifier = "calc";
      scope.self = 99999;
      scope.root = c.root;
      scope.unit = "app-marrowfield-calc-1.scope";
      if (table == &streamCases) scope.streamId = "ours";
      const Verdict got = captureVerdict(c.entry, scope, [](pid_t pid) { return pid == 4242 || pid == 4243; });
      EXPECT_EQ(static_cast<int>(got), static_cast<int>(c.expected)) << c.what;
    }
  }
}

TEST(JournalCapture, EntriesBeforeTheLaunchIsKnownWaitAndKeepTheirOrder) {
  std::vector<std::string> lines;
  CaptureScope scope;
  scope.identifier = "calc";
  scope.self = 99999;
  JournalCapture capture(scope, [&](LineBatch batch) {
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  });
  auto entry = [](std::int32_t pid, std::string transport, std::string message) {
    JournalEntry e;
    e.pid = pid;
    e.transport = std::move(transport);
    e.identifier = "calc";
    e.message = std::move(message);
    return e;
  };
  capture.take(entry(1, "journal", "init says something"));
  capture.take(entry(0, "stdout", "stream line of a gone writer"));
  capture.flush();
  EXPECT_TRUE(lines.empty()) << "nothing before the launched process is known";
  // Our own pid as the root stands in for a launched process that is alive.
  capture.follow(::getpid(), "");
  capture.take(entry(::getpid(), "journal", "after"));
  capture.flush();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("stream line of a gone writer"), std::string::npos);
  EXPECT_NE(lines[1].find("after"), std::string::npos);

  // A helper that left before it could be placed wrote on a stream of the
  // target's name: its line waits until a member's line says which stream
  // is the target's, and only that stream's lines are taken.
  lines.clear();
  auto onStream = [&](std::int32_t pid, std::string id, std::string message) {
    JournalEntry e = entry(pid, "stdout", std::move(message));
    e.streamId = std::move(id);
    return e;
  };
  capture.take(onStream(999998, "ours", "a helper's line"));
  capture.take(onStream(999997, "theirs", "another launch's line"));
  capture.flush();
  EXPECT_TRUE(lines.empty());
  capture.take(onStream(::getpid(), "ours", "the target's line"));
  capture.flush();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("a helper's line"), std::string::npos);
  EXPECT_NE(lines[1].find("the target's line"), std::string::npos);
}

// Children and grandchildren of a real process, including one that forks
// and exits at once and one that outlives its parent, are members; a
// process beside them is not.
TEST(ProcessTree, FollowsEveryDescendantOfARealProcess) {
  ProcessTree tree;
  if (!tree.seesForks()) GTEST_SKIP() << "no process-event connector here (it needs CAP_NET_ADMIN)";
  testing::TempDir dir;
  const auto pids = dir.path() / "pids";
  // The script reports the pids of a short-lived child and of a grandchild
  // left running, then exits; the test reads them only after it ended.
  posix::SpawnRequest request;
  request.argv = {"/bin/sh", "-c",
                  "sh -c 'echo $$ > " + pids.string() + ".child' ; "
                  "(sleep 2 & echo $! > " + pids.string() + ".grandchild) ; exit 0"};
  auto child = posix::spawnProcess(request);
  ASSERT_GT(child.pid, 0);
  tree.setRoot(child.pid);
  ASSERT_EQ(::waitpid(child.pid, nullptr, 0), child.pid);
  auto readPid = [&](const std::string& suffix) {
    std::ifstream file(pids.string() + suffix);
    pid_t pid = 0;
    file >> pid;
    return pid;
  };
  ASSERT_TRUE(testing::waitFor([&] { return readPid(".grandchild") > 0 && readPid(".child") > 0; }));
  EXPECT_TRUE(tree.contains(child.pid));
  EXPECT_TRUE(tree.contains(readPid(".child"))) << "a child that lived a moment";
  EXPECT_TRUE(tree.contains(readPid(".grandchild"))) << "a grandchild that outlived its parent";
  EXPECT_FALSE(tree.contains(::getpid()));
  EXPECT_FALSE(tree.contains(1));
  ::kill(readPid(".grandchild"), SIGKILL);

  // A thread's fork event names the parent of its whole group as its parent:
  // a member that starts threads is still a member.
  ProcessTree threaded;
  request.argv = {"python3", "-c",
                  "import threading, time; [threading.Thread(target=time.sleep, args=(3,)).start() for _ in range(3)]; "
                  "open('" + pids.string() + ".threads', 'w').write('1')"};
  request.searchPath = true;
  auto python = posix::spawnProcess(request);
  ASSERT_GT(python.pid, 0);
  threaded.setRoot(python.pid);
  ASSERT_TRUE(testing::waitFor([&] { return std::filesystem::exists(pids.string() + ".threads"); }));
  EXPECT_TRUE(threaded.contains(python.pid)) << "a member that started a thread";
  ::kill(python.pid, SIGKILL);
  ::waitpid(python.pid, nullptr, 0);
}

namespace {

// Runs as pid 1 of a pid namespace of its own, where no fork events reach
// and ns_last_pid is ours to set: the tree stands on /proc alone, and a
// member's pid can be handed to a newcomer on purpose. Returns 0, or the
// number of the check that failed (77: the pid could not be reused here).
int pidReuseScenario() {
  ProcessTree tree;
  if (tree.seesForks()) return 1;
  int report[2];
  if (::pipe(report) != 0) return 2;
  const pid_t root = ::fork();
  if (root == 0) {
    ::setsid();
    const pid_t helper = ::fork();
    if (helper == 0) {
      for (;;) ::pause();
    }
    (void)!::write(report[1], &helper, sizeof helper);
    for (;;) ::pause();
  }
  pid_t helper = 0;
  if (::read(report[0], &helper, sizeof helper) != sizeof helper) return 3;
  tree.setRoot(root);
  const auto rootStart = posix::statFieldOf(root, 22);
  const auto rootStat = posix::processStatOf(root);
  const std::string rootName = rootStat ? rootStat->name : "";
  if (!tree.contains(helper)) return 4;
  // The root ends; its helper, adopted by init, keeps the root's session.
  ::kill(root, SIGKILL);
  ::waitpid(root, nullptr, 0);
  if (!tree.contains(root, rootName)) return 5;  // within the grace after its exit
  // A newcomer under its number that ended before anyone looked: only the
  // journal's record of the sender's name tells them apart.
  if (tree.contains(root, "logger")) return 9;
  if (!tree.contains(helper)) return 6;  // still known by its session
  // The kernel keeps a number while a session is named after it.
  ::kill(helper, SIGKILL);
  ::waitpid(helper, nullptr, 0);
  // The kernel hands the root's number to a stranger, one clock tick later
  // at least (start times count in ticks).
  const auto ticksNow = [] {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto perSecond = static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK));
    return static_cast<unsigned long long>(now.tv_sec) * perSecond +
           static_cast<unsigned long long>(now.tv_nsec) * perSecond / 1000000000ULL;
  };
  if (!rootStart || !testing::waitFor([&] { return ticksNow() > *rootStart + 1; })) return 8;
  std::ofstream("/proc/sys/kernel/ns_last_pid") << root - 1;
  const pid_t stranger = ::fork();
  if (stranger == 0) {
    for (;;) ::pause();
  }
  int result = 0;
  const auto strangerStart = posix::statFieldOf(stranger, 22);
  if (stranger != root || strangerStart == rootStart) {
    result = 77;
  } else if (tree.contains(stranger)) {
    result = 7;
  }
  ::kill(stranger, SIGKILL);
  ::waitpid(stranger, nullptr, 0);
  return result;
}

}  // namespace

// Without fork events (an ordinary user, a container), a helper that
// outlives the process that made its session is still of the tree, and a
// member's number taken over by a stranger is not.
TEST(ProcessTree, APidHandedToAStrangerIsNoMemberWithoutForkEvents) {
  if (::geteuid() != 0) GTEST_SKIP() << "a pid namespace of its own needs root";
  const pid_t outer = ::fork();
  ASSERT_GE(outer, 0);
  if (outer == 0) {
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(78);
    const pid_t init = ::fork();
    if (init == 0) {
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        ::_exit(78);
      }
      ::_exit(pidReuseScenario());
    }
    int status = 0;
    ::waitpid(init, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(outer, &status, 0), outer);
  ASSERT_TRUE(WIFEXITED(status));
  const int code = WEXITSTATUS(status);
  if (code == 78) GTEST_SKIP() << "no pid namespace can be made here";
  if (code == 77) GTEST_SKIP() << "the pid was not handed over, or within the same clock tick";
  EXPECT_EQ(code, 0) << "check " << code << " of the scenario failed";
}

TEST(UserScope, NamesAreEscapedAsSystemdDoes) {
  EXPECT_EQ(escapeUnitNamePart("org.gnome.Calculator"), "org.gnome.Calculator");
  EXPECT_EQ(escapeUnitNamePart("my-app"), "my\\x2dapp");
  EXPECT_EQ(escapeUnitNamePart(".hidden"), "\\x2ehidden");
  EXPECT_EQ(escapeUnitNamePart("a b/\xc3\xa9"), "a\\x20b\\x2f\\xc3\\xa9");
  EXPECT_EQ(applicationScopeName("org.xfce.mousepad", "0badcafe"), "app-marrowfield-org.xfce.mousepad-0badcafe.scope");
}

}  // namespace
}  // namespace mf
