// SPDX-License-Identifier: GPL-3.0-or-later
// The operating system's layer: what /proc says of a process, the program
// a bare name runs, identifiers, and the reads a descriptor may give besides
// plain data (interrupted, not ready yet, a few bytes at a time, an error:
// real descriptors seldom fail on demand, so the read call is swapped for
// one that does).

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/chunk_pump.h"
#include "platform/spawn.h"
#include "platform/system_calls.h"
#include "platform/system_clock.h"
#include "platform_test_support.h"

namespace mf {
namespace {

struct ReadStep {
  int error;  // 0: the bytes arrive
  std::string bytes;
};

std::vector<ReadStep> readSteps;
std::size_t nextStep = 0;

ssize_t scriptedRead(int, void* buffer, std::size_t size) {
  const ReadStep& step = readSteps.at(nextStep++);
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  const std::size_t n = std::min(size, step.bytes.size());
  std::memcpy(buffer, step.bytes.data(), n);
  return static_cast<ssize_t>(n);
}

TEST(ChunkPump, InterruptedShortAndFailedReadsLoseNothing) {
  using Result = ChunkPump::Result;
  readSteps = {{EINTR, ""},  {0, "par"},    {EAGAIN, ""}, {EINTR, ""}, {0, "tial\n"}, {0, "n\xC3"},
               {EAGAIN, ""}, {0, "\xA9\n"}, {0, "rest"},  {EAGAIN, ""}, {0, ""}};
  nextStep = 0;
  const os::ScopedReadCall fake(scriptedRead);
  std::vector<std::string> lines;
  ChunkPump pump(LineBatcher([&](LineBatch batch) {
    EXPECT_FALSE(batch.empty());  // a read that ends inside a line wakes nobody
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  }));
  std::vector<Result> results;
  while (results.empty() || results.back() != Result::ended) results.push_back(pump.pumpOnce(-1));
  // EINTR is retried where it happens; EAGAIN keeps the line begun; the end
  // (a pipe's, after an EAGAIN whose errno is still set; a terminal's EIO
  // ends every launch's stdout) ends the stream with what was pending.
  EXPECT_EQ(results, (std::vector<Result>{Result::more, Result::wouldBlock, Result::more, Result::more,
                                          Result::wouldBlock, Result::more, Result::more, Result::wouldBlock, Result::ended}));
  EXPECT_EQ(lines, (std::vector<std::string>{"partial", "n\xC3\xA9", "rest"}));
}

// A program whose name holds what /proc/<pid>/stat puts around a name, run
// with an empty argument and one with a blank, and its child in a process
// group of its own: /proc read back field by field. The program starts with
// default signal dispositions (this process ignores SIGPIPE, as a GUI
// would; glibc's two internal real-time signals stay ignored across
// posix_spawn when the parent handles them, so only 1 to 31 are checked),
// holding only the standard descriptors, also when this process holds one
// that is not close-on-exec.
TEST(Spawn, AnOddlyNamedChildStartsCleanAndIsReadBackWhole) {
  testing::TempDir dir;
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  const os::UniqueFd inheritable(::open("/dev/null", O_RDONLY));  // as a library may leave one
  const std::string shell = testing::privateDemo(dir, "a) b (", "/bin/sh");
  const std::string script = "python3 -c 'import os, time\nos.setpgid(0, 0)\nprint(1, flush=True)\nwhile not "
                             "os.path.exists(\"" + dir.path().string() + "/stop\"): time.sleep(0.01)'; exit 7";
  const std::vector<std::string> argv = {shell, "-c", script, "", "x y"};
  const auto ran = testing::runProgram(argv, {}, [&](pid_t pid, const std::string&) {
    EXPECT_EQ(std::stoull(testing::statusField(pid, "SigIgn:"), nullptr, 16) & 0x7fffffff, 0u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {}), 3);
    const auto stat = os::processStatOf(pid);
    EXPECT_TRUE(stat && stat->name == std::filesystem::path(shell).filename() && std::isupper(stat->state) &&
                stat->state != 'Z' && stat->parent == ::getpid());
    const auto children = os::childrenOf(pid);
    const auto child = children.size() == 1 ? os::processStatOf(children[0]) : std::nullopt;
    EXPECT_TRUE(child && child->parent == pid && child->processGroup == children[0] && child->session == ::getsid(0));
    // proc(5)'s numbering: 3 is the state (a letter), 52 the last field.
    EXPECT_TRUE(os::statFieldOf(pid, 52) && !os::statFieldOf(pid, 53) && !os::statFieldOf(pid, 3));
    EXPECT_EQ(os::commandLineOf(pid), argv);
    dir.write("stop", "");
    return true;
  });
  std::signal(SIGPIPE, previous);
  EXPECT_EQ(ran.status, 7) << ran.output;
}

// A bare name is looked for in each PATH entry in turn; only a regular file
// this user may run is a program. No program at all is refused before
// anything is spawned.
TEST(Spawn, FindsProgramsAlongThePath) {
  testing::TempDir dir;
  const auto tool = dir.write("tool", "#!/bin/sh\n", true);
  std::filesystem::create_directories(dir.path() / "tool.d");
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", ("/nonexistent:" + dir.path().string() + ":/usr/bin").c_str(), 1);
  EXPECT_EQ(os::findInPath("tool"), tool.string());
  for (const auto& name : {std::string("tool.d"), dir.write("plain", "#!/bin/sh\n").string()}) EXPECT_FALSE(os::findInPath(name));
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(os::spawnProcess({}).error, ENOENT);
}

// A process reaped between the open and the read of its /proc files (the
// kernel then says ESRCH) reads as gone.
TEST(ProcFiles, AFailedReadIsNothingRead) {
  const os::ScopedReadCall failing([](int, void*, std::size_t) -> ssize_t { return errno = ESRCH, -1; });
  EXPECT_FALSE(os::processStatOf(::getpid()) || os::readProcFile("/proc/self/status", 1 << 20));
  EXPECT_TRUE(os::commandLineOf(::getpid()).empty());
}

// Identifiers stay distinct across refills of the pool.
TEST(RandomIdSource, IdentifiersStayDistinctAcrossRefills) {
  RandomIdSource ids;
  std::set<Uuid> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(ids.next());
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace mf
