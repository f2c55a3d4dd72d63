// SPDX-License-Identifier: GPL-3.0-or-later
// The log streams: the reader with any child process, the chunk pump on a
// real pipe; journalctl against a real systemd-journald,
// with the lines of the followed tree and no others, and the kernel's own
// line about a real segfault (in a program, in a shared library and in a
// thread), named by function and source line. Which entries a trace
// believes (crash reports, loss notes) and every other form of the kernel's
// lines are decided on their text, in journal_capture_test.

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <thread>

#include "journal_fixture.h"
#include "platform/chunk_pump.h"
#include "platform/fork_records.h"
#include "platform/journal_capture.h"
#include "platform/kernel_report.h"
#include "platform/posix_io.h"
#include "platform/spawn.h"
#include "platform/symbolize.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

using testing::LineCollector;
using testing::waitFor;
using Lines = std::vector<std::string>;

ArmResult startShell(const std::string& script, LineBatchSink sink,
                     std::shared_ptr<LingeringStreams> lingering = nullptr) {
  return startLineStream({"/bin/sh", "-c", script}, std::move(sink), std::move(lingering));
}

TEST(LineStream, LinesAndCharactersCutAcrossReadsArriveWhole) {
  LineCollector lines;
  // Each printf is its own write; the sleeps make them separate reads.
  // "\303\251" is é, cut between its two bytes; \377 is not UTF-8 at all;
  // a NUL byte is a byte of its line.
  auto result = startShell(
      "printf 'first li'; sleep 0.1; printf 'ne\\nsecond caf\\303'; sleep 0.1; printf '\\251\\n'; "
      "sleep 0.1; printf 'bad \\377 byte\\r\\nnul \\000 byte\\nx\\n\\n\\ny'; echo ' to stderr' >&2",
      lines.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;
  ASSERT_TRUE(waitFor([&] { return !result.process->isRunning() && lines.lines().size() >= 6; }));
  // The last line has no newline: it arrives at end of stream.
  EXPECT_EQ(lines.lines(), (Lines{"first line", "second caf\xC3\xA9", "bad \xEF\xBF\xBD byte",
                                  std::string("nul \0 byte", 10), "x", "y to stderr"}));
}

TEST(LineStream, QuietCallbackComesAfterTheLinesStillOnTheirWay) {
  // The trace holds a target's exit back until the stream goes quiet, so the
  // lines the journal forwards late are delivered first.
  LineCollector seen;
  auto result = startShell("echo one; sleep 0.2; echo two; sleep 0.2; echo three; exec sleep 30", seen.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;
  result.process->notifyWhenQuiet([sink = seen.sink()] { sink(LineBatch::of({"<quiet>"})); });
  ASSERT_TRUE(waitFor([&] { return seen.contains("<quiet>"); }));
  EXPECT_EQ(seen.lines(), (Lines{"one", "two", "three", "<quiet>"}));
  EXPECT_TRUE(result.process->isRunning()) << "being quiet does not end the stream";

  // Once the stream has ended there is nothing left to wait for.
  result.process->terminate();
  ASSERT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
  std::atomic<bool> calledAtOnce{false};
  result.process->notifyWhenQuiet([&] { calledAtOnce = true; });
  EXPECT_TRUE(waitFor([&] { return calledAtOnce.load(); }));
}

TEST(LineStream, AChildThatEndsOnItsOwnIsReportedAfterItsLinesAndOnlyThen) {
  // The reason comes after every line the child wrote, whether the callback
  // was registered before the end or after it.
  const struct {
    const char* script;
    bool registerLate;
    Lines expected;
  } cases[] = {
      {"echo no permission; exit 1", false, {"no permission", "<sh exited with status 1>"}},
      {"echo bye; kill -9 $$", false, {"bye", "<sh was killed by signal 9 (SIGKILL)>"}},
      {"printf 'cut short'", true, {"cut short", "<sh exited with status 0>"}},
  };
  for (const auto& c : cases) {
    LineCollector seen;
    auto result = startShell(c.script, seen.sink());
    ASSERT_TRUE(result.process) << result.errorDescription;
    auto registerEnd = [&] {
      result.process->notifyOnUnexpectedEnd([sink = seen.sink()](std::string reason) { sink(LineBatch::of({"<" + reason + ">"})); });
    };
    if (!c.registerLate) registerEnd();
    EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
    if (c.registerLate) registerEnd();
    EXPECT_TRUE(waitFor([&] { return seen.lines().size() == c.expected.size(); }));
    EXPECT_EQ(seen.lines(), c.expected);
  }

  // Asked to end (terminate, destruction): nothing is reported.
  std::atomic<int> reports{0};
  {
    LineCollector lines;
    auto terminated = startShell("echo up; exec sleep 30", lines.sink());
    auto destroyed = startShell("exec sleep 30", [](LineBatch) {});
    terminated.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
    destroyed.process->notifyOnUnexpectedEnd([&](std::string) { ++reports; });
    ASSERT_TRUE(waitFor([&] { return lines.contains("up"); }));
    terminated.process->terminate();
    ASSERT_TRUE(waitFor([&] { return !terminated.process->isRunning(); }));
  }
  EXPECT_EQ(reports.load(), 0);
}

TEST(LineStream, TerminateLingersForLateLinesThenEndsAndNothingLeaks) {
  const auto descriptors = testing::openDescriptorCount();
  // A missing program is a readable reason, and takes nothing.
  for (const char* program : {"/nonexistent/journalctl", "marrowfield-no-such-tool"}) {
    const auto missing = startLineStream({program}, nullptr);
    EXPECT_FALSE(missing.process);
    EXPECT_EQ(missing.errorDescription, "No such file or directory");
  }
  // journald hands lines on late; a stream asked to end keeps reading while
  // output still comes, so a crashing target's last words are not cut off.
  auto lingering = std::make_shared<LingeringStreams>();
  LineCollector lines;
  auto result = startShell("echo ready; sleep 0.3; echo late; exec sleep 30", lines.sink(), lingering);
  ASSERT_TRUE(result.process);
  ASSERT_TRUE(waitFor([&] { return lines.contains("ready"); }));
  result.process->terminate();
  EXPECT_TRUE(result.process->isRunning());
  EXPECT_TRUE(waitFor([&] { return !result.process->isRunning(); }));
  EXPECT_TRUE(lines.contains("late"));

  // Handed to the lingering set on destruction, which ends it when it goes:
  // promptly, though it ignores SIGTERM and a grandchild holds the pipe
  // (both sleep 30 s).
  LineCollector second;
  auto other = startShell("trap '' TERM; echo one; sleep 30 & sleep 30", second.sink(), lingering);
  ASSERT_TRUE(waitFor([&] { return second.contains("one"); }));
  other.process.reset();
  EXPECT_EQ(lingering->size(), 1u);
  auto ended = std::async(std::launch::async, [&] { lingering.reset(); });
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  result.process.reset();
  EXPECT_TRUE(waitFor([] { return testing::zombieChildren().empty(); }));
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
}

TEST(LineStream, ChildStartsWithDefaultSignalsAndOnlyStandardDescriptors) {
  // We ignore SIGPIPE like a GUI would; the child must not inherit that.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  LineCollector lines;
  auto result = startShell("grep -E '^Sig(Ign|Blk)' /proc/self/status; ls /proc/self/fd | wc -l", lines.sink());
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(result.process);
  ASSERT_TRUE(waitFor([&] { return lines.lines().size() >= 3 && !result.process->isRunning(); }));
  const auto got = lines.lines();
  // Only the standard signals (1 to 31): glibc keeps its two internal
  // real-time signals ignored across posix_spawn when the parent handles them.
  for (const auto& line : {got.at(0), got.at(1)}) {
    EXPECT_EQ(std::stoull(line.substr(line.find('\t') + 1), nullptr, 16) & 0x7fffffffULL, 0u) << line;
  }
  EXPECT_EQ(got.at(2), "4");  // 0, 1, 2 and the one ls opens
}

// The reader's hand-over on a real pipe: a chunk of very short lines reaches
// the sink in runs of at most kMaxBatchLines, in order, none lost or doubled.
TEST(ChunkPump, ChunksOfShortLinesArriveInBoundedBatchesInOrder) {
  constexpr int kLines = 200'000;  // "1\n" .. "200000\n": up to 30,000 lines a chunk
  std::string text;
  for (int i = 1; i <= kLines; ++i) text += std::to_string(i) + "\n";
  auto pipe = posix::makePipe();
  // The writer closes its end when done, so the reader sees the end of stream.
  std::thread writer([end = std::move(pipe.writeEnd), rest = std::string_view(text)]() mutable {
    for (ssize_t wrote; !rest.empty() && (wrote = posix::retryOnEintr([&] { return ::write(end.get(), rest.data(), rest.size()); })) > 0;) {
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
  });
  std::vector<std::string> lines;
  std::size_t largest = 0;
  std::size_t batches = 0;
  ChunkPump pump([&](LineBatch batch) {
    ++batches;
    largest = std::max(largest, batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  });
  std::size_t reads = 1;
  while (pump.pumpOnce(pipe.readEnd.get()) != ChunkPump::Result::ended) ++reads;
  writer.join();
  EXPECT_LE(largest, ChunkPump::kMaxBatchLines);
  EXPECT_GT(batches, reads / 2);  // full chunks were cut into several batches
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
  for (int i = 1; i <= kLines; ++i) ASSERT_EQ(lines[static_cast<std::size_t>(i - 1)], std::to_string(i)) << i;
}

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
// as a trace does, then the process is launched with the kernel recording
// its tree, and followed.
struct Traced {
  testing::LineCollector lines;
  JournalLogStreamLauncher launcher;
  ArmResult stream = launcher.start("crash-program", lines.sink());
  pid_t pid = -1;

  explicit Traced(const std::vector<std::string>& argv) {
    EXPECT_TRUE(stream.process) << stream.errorDescription;
    if (!stream.process) return;
    posix::SpawnRequest request;
    request.argv = argv;
    std::shared_ptr<posix::ForkRecorder> forks;
    pid = posix::ForkRecorder::spawnRecorded(request, forks).pid;
    // The launcher names what it ran, as the workspace does: the program
    // may be a zombie before it is followed.
    if (pid > 0) stream.process->follow(LaunchedProcess{pid, "", argv.front(), std::move(forks)});
  }
};

pid_t spawnShell(const std::string& script) { return spawn({"/bin/sh", "-c", script}); }

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
  for (const pid_t pid : {stranger, tree}) reap(pid);
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

std::string kernelWitnessSkipReason() {
  if (const auto reason = kernelMessagesUnavailableReason()) return *reason;
  if (std::ifstream("/proc/sys/debug/exception-trace").get() == '0') return "debug.exception-trace is 0";
  return {};
}

std::vector<std::string> linesWith(const std::vector<std::string>& lines, std::string_view text) {
  std::vector<std::string> found;
  for (const auto& line : lines) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

// A crash of the tree, and what its event must say: $CRASH is the program
// built with -g, run by a shell script. The kernel's line names only the
// file's base name; the event names the function of the file that ran.
struct CrashCase {
  std::string name;
  std::string script;
  std::string expected;  // in every crash event
  bool decoyOnPath = false;
  int crashes = 1;       // the kernel may leave some out under its rate limit
};

void PrintTo(const CrashCase& row, std::ostream* out) { *out << row.name; }

class KernelWitness : public ::testing::TestWithParam<CrashCase> {};

TEST_P(KernelWitness, ACrashIsNamedByTheFileThatRanNeverByAnotherOfItsName) {
  if (const auto reason = kernelWitnessSkipReason(); !reason.empty()) GTEST_SKIP() << reason;
  const CrashCase& row = GetParam();
  std::string script = row.script;
  for (std::size_t at; (at = script.find("$CRASH")) != std::string::npos;) script.replace(at, 6, MARROWFIELD_CRASH_PROGRAM);
  const std::string oldPath = std::getenv("PATH");
  // An older program of the same name, first on PATH for us and the tree.
  if (row.decoyOnPath) ::setenv("PATH", (std::string(MARROWFIELD_CRASH_DECOY_DIR) + ":" + oldPath).c_str(), 1);
  // The kernel logs at most 10 faults in 5 s (printk_ratelimit), and other
  // tests crash programs too: a run whose lines never came is tried again.
  bool reported = false;
  for (int attempt = 0; attempt < 3 && !reported; ++attempt) {
    // A burst ends with a line of its own, after which its crashes' lines
    // have mostly come.
    const bool burst = row.crashes > 1;
    Traced trace({"/bin/sh", "-c", burst ? script + "; logger -t mf-witness done" : script});
    ASSERT_GT(trace.pid, 0);
    reap(trace.pid);
    reported = waitFor([&] { return trace.lines.contains("] crashed") && (!burst || trace.lines.contains("mf-witness")); });
    const auto lines = trace.lines.lines();
    const auto crashes = linesWith(lines, "] crashed");
    for (const auto& crash : crashes) {
      EXPECT_NE(crash.find(row.expected), std::string::npos) << crash;
      EXPECT_EQ(crash.find("decoy"), std::string::npos) << crash;
    }
    if (reported && burst && ::geteuid() == 0) {
      // The kernel's word that it left lines out is said once.
      EXPECT_TRUE(waitFor([&] { return trace.lines.contains("warning: the kernel left out some of its messages"); }));
      EXPECT_EQ(linesWith(trace.lines.lines(), "left out some").size(), 1u) << trace.lines.joined();
    }
  }
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_TRUE(reported) << "the kernel's line never came";
}

TEST(KernelWitness, ASeccompKillIsOneEventAndAForgedCrashReportNone) {
  if (const auto reason = kernelWitnessSkipReason(); !reason.empty()) GTEST_SKIP() << reason;
  testing::TempDir dir;
  const auto go = (dir.path() / "go").string();
  // The kill, then a crash report root forges with logger about the shell;
  // the shell waits for the test to see the kill's record in the journal
  // before it says it is done.
  const auto started = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  Traced trace({"/bin/sh", "-c",
                std::string(MARROWFIELD_CRASH_PROGRAM) + " strict; printf 'MESSAGE_ID=" + std::string(kCoredumpMessageId) +
                    "\\nCOREDUMP_PID=%s\\nMESSAGE=forged report\\n' $$ | logger --journald; "
                    "while [ ! -e " + go + " ]; do sleep 0.05; done; logger -t mf-witness done"});
  ASSERT_GT(trace.pid, 0);
  ASSERT_TRUE(waitFor([&] { return trace.lines.contains("permission denied by seccomp"); })) << trace.lines.joined();
  // The kernel's log and journald's audit socket each carry the record.
  const auto text = linesWith(trace.lines.lines(), "permission denied by seccomp").front();
  const std::string who = text.substr(text.find("crash-program["));
  const auto copies = [&] {
    sd_journal* journal = nullptr;
    if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return 0;
    const std::string pid = "pid=" + who.substr(14, who.find(']') - 14) + " ";
    int found = 0;
    sd_journal_add_match(journal, "_TRANSPORT=audit", 0);
    sd_journal_add_disjunction(journal);
    sd_journal_add_match(journal, "_TRANSPORT=kernel", 0);
    sd_journal_seek_realtime_usec(journal, started);
    while (sd_journal_next(journal) > 0) {
      const void* data = nullptr;
      std::size_t length = 0;
      if (sd_journal_get_data(journal, "MESSAGE", &data, &length) < 0) continue;
      const std::string_view message(static_cast<const char*>(data), length);
      if (message.find(pid) != std::string_view::npos && message.find("syscall=39 ") != std::string_view::npos) ++found;
    }
    sd_journal_close(journal);
    return found;
  };
  const bool twice = waitFor([&] { return copies() >= 2; });
  std::ofstream(go) << "go";
  ASSERT_TRUE(waitFor([&] { return trace.lines.contains("mf-witness") && trace.lines.contains("forged report"); }))
      << trace.lines.joined();
  reap(trace.pid);
  EXPECT_EQ(linesWith(trace.lines.lines(), "permission denied by seccomp").size(), 1u) << trace.lines.joined();
  EXPECT_NE(text.find("system call getpid (39), which ended it with SIGKILL"), std::string::npos) << text;
  EXPECT_TRUE(linesWith(trace.lines.lines(), "] crashed").empty()) << trace.lines.joined();
  if (!twice) GTEST_SKIP() << "the journal holds one copy of the audit record here (journald reads no audit socket)";
}

const std::string kInMain = "in main (crash_program.cpp:" + lineOf(MARROWFIELD_CRASH_PROGRAM_SOURCE, "// the fault in main") +
                            "), crash-program+0x";
// Lines written to /dev/kmsg as the kernel's rate limit writes them (root only).
const std::string kSuppressed = "if [ -w /dev/kmsg ]; then for n in 3 4; do echo \"show_signal_msg: $n callbacks suppressed\" "
                                "> /dev/kmsg; done; fi";

INSTANTIATE_TEST_SUITE_P(
    Crashes, KernelWitness,
    ::testing::Values(
        CrashCase{"InMain", "exec $CRASH null", kInMain},
        CrashCase{"InALibrary", "exec $CRASH library",
                  "in mfcrash::writeThrough(int volatile*) (crash_library.cpp:" +
                      lineOf(MARROWFIELD_CRASH_LIBRARY_SOURCE, "// the fault in the library") + "), libmfcrash.so+0x"},
        // The kernel names the faulting thread by its own id, not the process's.
        CrashCase{"InAThread", "exec $CRASH thread",
                  "in f (crash_program.cpp:" + lineOf(MARROWFIELD_CRASH_PROGRAM_SOURCE, "// the fault in the thread") +
                      "), crash-program+0x"},
        CrashCase{"AGrandchildStartedByAbsolutePath", "$CRASH null; true", kInMain},
        CrashCase{"AGrandchildWithADecoyOfItsNameOnPath", "$CRASH null; true", kInMain, true},
        CrashCase{"EveryCrashOfABurst", "for i in 1 2 3 4 5 6; do $CRASH null; done; " + kSuppressed, kInMain, false, 6}),
    [](const ::testing::TestParamInfo<CrashCase>& info) { return info.param.name; });

}  // namespace
}  // namespace mf
