// SPDX-License-Identifier: GPL-3.0-or-later
// The journal road against a real systemd-journald: the lines of the
// followed tree and no others, on each transport in the order written,
// through a rotation, and the kernel's own line about a real segfault (in a
// program, in a shared library and in a thread), named by function and
// source line, read from the program or from the debug file its build ID
// names; the chunk pump's batches on a real pipe (lines cut across reads:
// cases/split.tsv, os_test). A message too large to keep
// whole: cli_trace_test. Which entries a trace believes (crash reports, loss
// notes, seccomp kills) and every other form of the kernel's lines are
// decided on their text, in journal_capture_test.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <thread>

#include "journal_fixture.h"
#include "platform/chunk_pump.h"
#include "platform/fork_records.h"
#include "platform/kernel_report.h"
#include "platform/symbolize.h"
#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment(false));

using testing::LineCollector;
using testing::waitFor;
using Lines = std::vector<std::string>;

// The reader's hand-over on a real pipe: a chunk of very short lines reaches
// the sink in runs of at most kMaxBatchLines, in order, none lost or doubled.
TEST(ChunkPump, ChunksOfShortLinesArriveInBoundedBatchesInOrder) {
  constexpr int kLines = 200'000;  // "1\n" .. "200000\n": up to 30,000 lines a chunk
  std::string text;
  for (int i = 1; i <= kLines; ++i) text += std::to_string(i) + "\n";
  auto pipe = os::makePipe();
  // The writer closes its end when done, so the reader sees the end of stream.
  std::thread writer([end = std::move(pipe.writeEnd), rest = std::string_view(text)]() mutable {
    for (ssize_t wrote; !rest.empty() && (wrote = os::retryOnEintr([&] { return ::write(end.get(), rest.data(), rest.size()); })) > 0;) {
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
  });
  std::vector<std::string> lines;
  std::size_t largest = 0;
  std::size_t batches = 0;
  ChunkPump pump(LineBatcher([&](LineBatch batch) {
    ++batches;
    largest = std::max(largest, batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  }));
  std::size_t reads = 1;
  while (pump.pumpOnce(pipe.readEnd.get()) != ChunkPump::Result::ended) ++reads;
  writer.join();
  EXPECT_LE(largest, LineBatcher::kMaxBatchLines);
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

// With its fork records where asked for, as the workspace launches.
pid_t spawnShell(const std::string& script, std::shared_ptr<os::ForkRecorder>* forks = nullptr) {
  os::SpawnRequest request;
  request.argv = {"/bin/sh", "-c", script};
  std::shared_ptr<os::ForkRecorder> unused;
  return os::ForkRecorder::spawnRecorded(request, forks ? *forks : unused).pid;
}

void reap(pid_t pid) { ::waitpid(pid, nullptr, 0); }

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
    os::SpawnRequest request;
    request.argv = argv;
    std::shared_ptr<os::ForkRecorder> forks;
    pid = os::ForkRecorder::spawnRecorded(request, forks).pid;
    // Followed with its fork records, as the workspace hands them on.
    if (pid > 0) stream.process->follow(LaunchedProcess{pid, "", std::move(forks)});
  }
};

TEST(JournalLogStream, LinesOfTheFollowedTreeArriveAndOthersDoNot) {
  MF_NEEDS_JOURNAL();
  const std::string name = "mftest-" + testing::randomSuffix();
  LineCollector lines;
  auto launcher = std::make_unique<JournalLogStreamLauncher>();
  auto result = launcher->start(name, lines.sink());
  ASSERT_TRUE(result.process) << result.errorDescription;

  // The tree: a shell whose children log under names of their own.
  std::shared_ptr<os::ForkRecorder> forks;
  const pid_t tree = spawnShell("echo 'from systemd-cat: Permission denied' | systemd-cat -t " + name +
                                "; logger -t other-name 'from a logger child'; "
                                "sh -c 'logger -t deeper \"from a grandchild\"'", &forks);
  ASSERT_GT(tree, 0);
  result.process->follow(LaunchedProcess{tree, "", std::move(forks)});
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

  // A closed stream lingers for late lines, then ends by itself, and one
  // closed after it does not wait for it; the launcher's end would end them at once.
  EXPECT_TRUE(result.process->isRunning());
  auto after = launcher->start(name, lines.sink()).process;
  result.process.reset();
  after.reset();
  EXPECT_EQ(launcher->lingeringStreams(), 2u);
  EXPECT_TRUE(waitFor([&] { return launcher->lingeringStreams() == 0; }));
  launcher.reset();
}

TEST(JournalLogStream, NoJournalGivesAReadableReason) {
  testing::TempDir dir;
  // No socket, and a socket file left behind by a journald that died, which
  // refuses connections.
  const auto stale = dir.path() / "stale";
  {
    os::UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
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
}

// journal-program traced as a trace runs it: stderr a journal stream under
// the trace's name, told what to write through a pipe on its stdin.
struct JournalWriter {
  std::string name = "mfroad-" + testing::randomSuffix();
  LineCollector lines;
  JournalLogStreamLauncher launcher;
  ArmResult stream = launcher.start(name, lines.sink());
  os::UniqueFd commands;
  pid_t pid = -1;

  JournalWriter() {
    EXPECT_TRUE(stream.process) << stream.errorDescription;
    auto pipe = os::makePipe();
    os::UniqueFd stderrStream(std::max(sd_journal_stream_fd(name.c_str(), LOG_INFO, 0), -1));
    os::SpawnRequest request;
    request.argv = {MARROWFIELD_JOURNAL_PROGRAM};
    request.stdinFd = pipe.readEnd.get();
    request.stderrFd = stderrStream.get();
    pid = os::spawnProcess(request).pid;
    commands = std::move(pipe.writeEnd);
    if (stream.process && pid > 0) stream.process->follow(LaunchedProcess{pid, ""});
  }
  ~JournalWriter() {
    commands.reset();
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  }
  void tell(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(commands.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
};

// Each transport, told one after the other: every line is shown once, and
// the times they carry put them in the order they were written (a stream
// line carries journald's receipt, which comes after its writing).
TEST(JournalRoad, EachTransportIsShownOnceInTheOrderWritten) {
  MF_NEEDS_JOURNAL();
  JournalWriter writer;
  ASSERT_GT(writer.pid, 0);
  std::vector<std::string> written;
  for (int round = 0; round < 3; ++round) {
    for (const char* how : {"native", "syslog", "stderr"}) {
      // Written with a lone 0x80 (no character starts with it), shown with U+FFFD in its place.
      const std::string text = std::string(how) + "-line\xEF\xBF\xBD" + std::to_string(round) + "-" + writer.name;
      writer.tell(std::string(how) + " " + std::string(text).replace(text.find("\xEF\xBF\xBD"), 3, "\x80"));
      ASSERT_TRUE(waitFor([&] { return writer.lines.contains(text); }, 30)) << text;
      written.push_back(text);
    }
  }
  std::vector<std::pair<double, std::string>> shown;
  const auto lines = writer.lines.lines();
  const auto times = writer.lines.times();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(writer.name) != std::string::npos) shown.emplace_back(times[i], lines[i]);
  }
  std::stable_sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  ASSERT_EQ(shown.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    EXPECT_NE(shown[i].second.find(written[i]), std::string::npos) << i << ": " << shown[i].second;
  }
}

// journald starts new files on `journalctl --rotate`; a trace reading
// across it loses nothing and shows nothing twice.
TEST(JournalRoad, ARotationInTheMiddleLosesAndDoublesNothing) {
  MF_NEEDS_JOURNAL();
  if (::geteuid() != 0) GTEST_SKIP() << "rotating the journal needs root";
  JournalWriter writer;
  ASSERT_GT(writer.pid, 0);
  constexpr int kLines = 400;
  const auto text = [&](int i) { return "rotated-" + std::to_string(i) + "-" + writer.name; };
  for (int i = 0; i < kLines / 2; ++i) writer.tell("native " + text(i));
  ASSERT_TRUE(waitFor([&] { return writer.lines.contains(text(kLines / 4)); }, 30));
  const auto rotated = testing::runProgram({"journalctl", "--rotate"});
  EXPECT_EQ(rotated.status, 0) << rotated.output;
  for (int i = kLines / 2; i < kLines; ++i) writer.tell("native " + text(i));
  ASSERT_TRUE(waitFor([&] { return writer.lines.contains(text(kLines - 1)); }, 30));
  const std::string all = writer.lines.joined();
  for (int i = 0; i < kLines; ++i) EXPECT_TRUE(all.find(text(i)) != std::string::npos && all.find(text(i)) == all.rfind(text(i))) << text(i);
}

std::string kernelWitnessSkipReason() {
  if (const auto reason = kernelMessagesUnavailableReason()) return *reason;
  if (std::ifstream("/proc/sys/debug/exception-trace").get() == '0') return "debug.exception-trace is 0";
  return {};
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
  MF_NEEDS_JOURNAL();
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
    for (const auto& crash : trace.lines.lines()) {
      if (crash.find("] crashed") == std::string::npos) continue;
      EXPECT_NE(crash.find(row.expected), std::string::npos) << crash;
      EXPECT_EQ(crash.find("decoy"), std::string::npos) << crash;
    }
    if (reported && burst && ::geteuid() == 0) {
      // The kernel's word that it left lines out is said once.
      EXPECT_TRUE(waitFor([&] { return trace.lines.contains("warning: the kernel left out some of its messages"); }));
      const std::string all = trace.lines.joined();
      EXPECT_EQ(all.find("left out some"), all.rfind("left out some")) << all;
    }
  }
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_TRUE(reported) << "the kernel's line never came";
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


// Debian's debug packages keep a program's lines in a file of their own,
// found under the debug root by the program's build ID.
TEST(Symbolize, LinesComeFromTheDebugFileTheBuildIdNames) {
  testing::TempDir dir;
  const std::string program = (dir.path() / "crash-program").string();
  const auto shell = [](const std::string& script) { return testing::runProgram({"/bin/sh", "-c", script}).output; };
  const std::string id = shell("readelf -n " MARROWFIELD_CRASH_PROGRAM " | sed -n 's/.*Build ID: //p'");
  ASSERT_GT(id.size(), 3u);
  const auto debug = dir.path() / ".build-id" / id.substr(0, 2) / (id.substr(2, id.size() - 3) + ".debug");
  std::filesystem::create_directories(debug.parent_path());
  ASSERT_EQ(testing::runProgram({"objcopy", "--only-keep-debug", MARROWFIELD_CRASH_PROGRAM, debug.string()}).status, 0);
  ASSERT_EQ(testing::runProgram({"objcopy", "--strip-debug", MARROWFIELD_CRASH_PROGRAM, program}).status, 0);
  // main's first byte as the kernel names it: by its offset in the file (lld puts code elsewhere than ld).
  const std::string offsetOfMain = R"(m=$(nm "$0" | sed -n 's/ T main$//p'); set -- $(readelf -SW "$0" | sed -n 's/.*] \.text *PROGBITS *\([0-9a-f]*\) \([0-9a-f]*\).*/\1 \2/p'); printf %x $((0x$m - 0x$1 + 0x$2)))";
  const auto main = std::stoull(testing::runProgram({"/bin/sh", "-c", offsetOfMain, program}).output, nullptr, 16);
  const auto where = locateInFile(program, main, dir.path().string());
  ASSERT_TRUE(where);
  EXPECT_EQ(where->function + " " + where->sourceFile, "main crash_program.cpp");
  EXPECT_EQ(locateInFile(program, main, (dir.path() / "none").string())->sourceFile, "") << "the lines are the debug file's";
}

}  // namespace
}  // namespace mf
