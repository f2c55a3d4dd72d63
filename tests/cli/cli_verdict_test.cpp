// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict of real programs, through `marrowfield-cli trace --json` and a
// real systemd-journald: each program's end, and the sentence that names it.

#include <gtest/gtest.h>


#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>

#include "journal_fixture.h"
#include "platform_test_support.h"

namespace mf {
namespace {

namespace fs = std::filesystem;

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

// Runs `marrowfield-cli trace ARGS`: its status, and what it printed (it
// says nothing on stderr when the trace runs).
testing::Ran traceRun(std::vector<std::string> args) {
  args.insert(args.begin(), {MARROWFIELD_CLI_PATH, "trace"});
  return testing::runProgram(args);
}

std::string lastLine(const std::string& text) {
  std::string last;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) if (!line.empty()) last = line;
  return last;
}

using Scratch = testing::TempDir;

// A memory cgroup of our own with a 32 MiB limit and no swap, in the
// unified hierarchy or, on machines that still mount the memory controller
// on its own, in that one; the reason when the system lets us make neither.
struct MemoryCgroup {
  fs::path dir;
  std::string unavailable;
  MemoryCgroup() {
    const std::string name = "mf-verdict-" + std::to_string(::getpid());
    std::ifstream controllers("/sys/fs/cgroup/cgroup.subtree_control");
    const std::string enabled((std::istreambuf_iterator<char>(controllers)), {});
    if (enabled.find("memory") != std::string::npos) {
      make("/sys/fs/cgroup" / fs::path(name), "memory.max", "memory.swap.max", "0");
    } else if (fs::exists("/sys/fs/cgroup/memory/memory.limit_in_bytes")) {
      make("/sys/fs/cgroup/memory" / fs::path(name), "memory.limit_in_bytes", "memory.memsw.limit_in_bytes",
           "33554432");
    } else {
      unavailable = "no memory controller is mounted under /sys/fs/cgroup";
    }
  }
  ~MemoryCgroup() {
    std::error_code ignored;
    if (!dir.empty()) fs::remove(dir, ignored);
  }

 private:
  // With swap accounting the memory-and-swap limit is the one that makes
  // the kernel kill rather than swap; it may only be set after the other.
  void make(const fs::path& where, const char* limitFile, const char* swapFile, const char* swapLimit) {
    std::error_code error;
    if (!fs::create_directory(where, error)) {
      unavailable = "a memory cgroup cannot be made here (" + error.message() + ")";
      return;
    }
    dir = where;
    std::ofstream(dir / limitFile) << "33554432\n";
    if (fs::exists(dir / swapFile)) std::ofstream(dir / swapFile) << swapLimit << "\n";
    std::ifstream limit(dir / limitFile);
    std::string value;
    limit >> value;
    if (value != "33554432") unavailable = "the memory cgroup's limit cannot be set here";
  }
};

struct Case {
  std::string name;
  // The arguments after "trace", made in `scratch`; empty with `skip` said.
  std::function<std::vector<std::string>(const Scratch& scratch, std::string& skip)> args;
  std::string verdict;  // the kind in the JSON object
  std::string text;     // what the sentence holds (as JSON writes it)
  friend void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
};

// The verdict target run with one of its flags.
auto target(std::string flag) {
  return [flag](const Scratch&, std::string&) { return std::vector<std::string>{VERDICT_TARGET, "--", flag}; };
}

const std::vector<Case> kCases = {
    {"NullDereference", target("--null"), "crashed", "Crashed in compute_widget_size (verdict_target.cpp:"},
    {"ExitAfterAMissingFile", target("--missing-file"), "abnormal-end",
     "Exited with status 1 after: error: cannot open /nonexistent/verdict-settings.ini"},
    {"LibraryRemoved",
     [](const Scratch& scratch, std::string&) {
       return std::vector<std::string>{testing::privateDemo(scratch, "gone", GONE_LIBRARY_PROGRAM).string()};
     },
     "abnormal-end", "Exited with status 127 after: error while loading shared libraries: libmfgone.so"},
    {"QtWithoutItsPlatformPlugin",
     [](const Scratch&, std::string& skip) {
       if (std::string(QT_TARGET).empty()) skip = "built without the window (no Qt program)";
       return std::vector<std::string>{QT_TARGET, "--env", "QT_QPA_PLATFORM=nonexistent"};
     },
     "abnormal-end", "Killed by signal 6 (SIGABRT) after: "},
    {"OutOfMemoryInACgroup",
     [](const Scratch&, std::string& skip) {
       static MemoryCgroup cgroup;
       skip = cgroup.unavailable;
       return std::vector<std::string>{VERDICT_TARGET, "--", "--oom", cgroup.dir.string()};
     },
     "out-of-memory",
     "Killed by the kernel's out-of-memory killer because its memory cgroup reached its limit of 32 MiB"},
    {"WorkingProgram", target("--ok"), "clean", "Clean: no errors or warnings"},
    {"NotExecutable",
     [](const Scratch& scratch, std::string&) {
       const auto program = scratch.write("not-executable", "#!/bin/sh\n");
       return std::vector<std::string>{testing::writeDemoDesktopEntry(scratch, "not-executable", program, "").string()};
     },
     "launch-failed", "Launch failed: "}};

class RealProgramVerdict : public ::testing::TestWithParam<Case> {};

// The kernel logs at most ten crash lines in five seconds, machine-wide: a
// crash right after another test's burst would have its line left out.
bool kernelCrashLinesQuiet() {
  const auto counted = testing::runProgram(
      {"sh", "-c", "journalctl -k -q -o cat --since=-6s | grep -c -E 'segfault at|traps:|general protection'"});
  return counted.output == "0\n";
}

// Crashes elsewhere on the machine may make the kernel say, during a trace, that it left lines out: a warning of
// every trace then running, which a clean verdict or exact counts of new events cannot foresee.
bool kernelQuiet(const std::string& output) { return output.find("the kernel left out some") == std::string::npos; }

TEST_P(RealProgramVerdict, NamesTheTrueCause) {
  const Case& row = GetParam();
  Scratch scratch;
  std::string skip;
  auto args = row.args(scratch, skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  args.insert(args.begin() + 1, "--json");
  ASSERT_TRUE(row.verdict != "crashed" || testing::waitFor(kernelCrashLinesQuiet, 30.0));
  const testing::Ran run = traceRun(args);
  if (row.verdict == "clean" && !kernelQuiet(run.output)) GTEST_SKIP() << "the kernel said it left lines out:\n" << run.output;
  const std::string verdict = lastLine(run.output);
  EXPECT_TRUE(row.verdict != "clean" || run.status == 0) << run.status;  // written in full, and no error
  EXPECT_EQ(verdict.rfind(R"({"schema":"marrowfield-trace/1","kind":"verdict","verdict":")" + row.verdict + "\"", 0), 0u) << verdict;
  EXPECT_NE(verdict.find(row.text), std::string::npos) << verdict;
}

INSTANTIATE_TEST_SUITE_P(Table, RealProgramVerdict, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// Two runs of one program, the second with one more error: that error, and
// of the errors only it, is new; the text output says so under its verdict.
// The JSON names the trace once, however many batches its events came in,
// and lists them in order.
TEST(RealProgramNovelty, TheErrorTheSecondRunAddedIsTheOnlyNewError) {
  Scratch scratch;
  const fs::path first = scratch.path() / "first.json";
  std::ofstream(first) << traceRun({VERDICT_TARGET, "--json", "--", "--stale-cache"}).output;
  const std::string second =
      traceRun({VERDICT_TARGET, "--json", "--baseline", first.string(), "--", "--stale-cache", "--missing-file"}).output;
  if (!kernelQuiet(second)) GTEST_SKIP() << "the kernel said it left lines out during the run:\n" << second;
  std::vector<std::string> newErrors;
  std::size_t traceLines = 0;
  std::istringstream lines(second);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(R"("type":"error")") != std::string::npos && line.find(R"("new":true)") != std::string::npos) {
      newErrors.push_back(line);
    }
    traceLines += line.find(R"("kind":"trace")") != std::string::npos ? 1 : 0;
  }
  ASSERT_EQ(newErrors.size(), 1u) << second;
  EXPECT_EQ(traceLines, 1u) << second;
  EXPECT_LT(second.find("Launch trace started for"), second.find(" launched with PID ")) << second;  // in order
  EXPECT_NE(newErrors[0].find("cannot open /nonexistent/verdict-settings.ini"), std::string::npos);
  EXPECT_NE(lastLine(second).find(R"("newEvents":2,"newErrors":1,"newWarnings":1})"), std::string::npos) << second;

  const std::string text =
      traceRun({VERDICT_TARGET, "--baseline", first.string(), "--", "--stale-cache", "--missing-file"}).output;
  if (!kernelQuiet(text)) GTEST_SKIP() << "the kernel said it left lines out during the run:\n" << text;
  EXPECT_NE(text.find("\nVerdict: Exited with status 1 after: error: cannot open /nonexistent/verdict-settings.ini"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n1 new error, 1 new warning since the baseline\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace mf
