// SPDX-License-Identifier: GPL-3.0-or-later
// A real child's stdout into a trace, end to end: the launch through the
// Linux workspace, the pseudo-terminal read by the child watcher, the main
// queue, a ContentView that classifies and stores every line. Beside each
// figure, the same program with its stdout on its journal stream, as every
// trace had it before: journald, the journal reader and the capture of the tree.
//
// Reported:
//   probe_p50_ms / probe_p99_ms / probe_max_ms
//                  write -> visible latency of lines a child prints (and
//                  flushes) every 10 ms          target p99 <= 20 ms (terminal)
//   lines_per_s    1,000,000 printf lines (100,000 through the journal, which
//                  takes them at its own pace), from "Launch & Trace" to the
//                  last one ingested                 target >= 1 M/s (terminal)
//                  A program whose stdio sees a terminal writes every line
//                  with a system call of its own; the same lines written in
//                  64 KiB blocks show what the trace itself takes.
//   floor_*        the same million printf lines without a trace: the
//                  program alone, line-buffered into /dev/null, and on a
//                  terminal read by a bare copy loop; the speed the program
//                  and the kernel allow, whoever reads
//   of_floor       the trace's lines/s over the bare terminal's
//   max_task_ms    longest main-thread task during the flood (wall; and its
//                  CPU time, without the time other processes held the core)
//                                                               target <= 8 ms
//   lost           lines missing, doubled or out of order        must be 0

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string>
#include <vector>

#include "bench_services.h"
#include "platform/linux_workspace.h"
#include "platform/log_stream.h"
#include "platform/system_calls.h"
#include "platform/system_clock.h"
#include "trace/content_view.h"

namespace {

using mf::bench::percentile;
using SteadyClock = std::chrono::steady_clock;
constexpr std::string_view kProbe = "latency probe ";
constexpr std::string_view kFlood = "flood line ";

std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Roads: 0 the terminal, 1 the journal (before), 2 the terminal with a
// program that writes its output in blocks.
enum class Road { terminal, journal, terminalBlocks };

// A desktop entry that runs the test program with `args`; on the journal
// road its stdout goes where its stderr goes, to its journal stream.
std::string writeEntry(Road road, const std::string& args) {
  const std::string path = "/tmp/marrowfield-bench-" + std::to_string(::getpid()) +
                           (road == Road::terminal ? "-terminal" : "-journal") + ".desktop";
  std::string exec = std::string(MARROWFIELD_STDOUT_PROGRAM) + " " + args;
  if (road == Road::journal) exec = "sh -c \"exec " + exec + " 1>&2\"";
  std::FILE* file = std::fopen(path.c_str(), "w");
  std::fprintf(file, "[Desktop Entry]\nType=Application\nName=bench\nExec=%s\n", exec.c_str());
  std::fclose(file);
  return path;
}

struct Run {
  std::vector<double> probeMs;
  std::size_t floodLines = 0;
  std::size_t disorder = 0;
  double seconds = 0;
  double longestTaskMs = 0;
  double longestTaskCpuMs = 0;
  SteadyClock::time_point lastFlood;
  bool ended = false;
};

Run trace(Road road, const std::string& args, std::size_t expectedFlood) {
  mf::bench::TimedQueue queue;
  mf::SystemClock clock;
  mf::RandomIdSource ids;
  mf::JournalLogStreamLauncher logStreams;
  mf::LinuxWorkspace workspace(queue);
  const std::string entry = writeEntry(road, args);
  mf::bench::FixedPanel panel(entry);
  mf::bench::NullPasteboard pasteboard;
  mf::bench::NoRemote remote;
  mf::ContentView view({queue, clock, ids, logStreams, workspace, remote, panel, pasteboard});
  Run run;
  view.setChangeObserver([&](const mf::Change& change) {
    if (!change.has(mf::Change::eventsInserted)) return;
    const auto now = monotonicNanos();
    const mf::EventList& events = view.events();
    for (std::size_t i = change.firstChangedEvent; i < events.size(); ++i) {
      std::string_view m = events[i].message;
      // Through the journal a line reads "time name[pid]: text".
      if (const auto at = m.find(kProbe); at != std::string_view::npos) {
        std::int64_t sent = 0;
        std::from_chars(m.data() + at + kProbe.size(), m.data() + m.size(), sent);
        run.probeMs.push_back(static_cast<double>(now - sent) / 1e6);
      } else if (const auto flood = m.find(kFlood); flood != std::string_view::npos) {
        std::size_t n = 0;
        std::from_chars(m.data() + flood + kFlood.size(), m.data() + m.size(), n);
        if (n != run.floodLines + 1) ++run.disorder;
        run.floodLines = n;
        run.lastFlood = SteadyClock::now();
      }
    }
  });
  view.chooseApplication();
  view.setFreshLaunch(false);
  const auto start = SteadyClock::now();
  view.startTrace();
  queue.clear();  // the start's own waits are not intake
  const auto deadline = start + std::chrono::seconds(120);
  queue.inner.runUntil(
      [&] {
        return view.statusText() == "Process ended" && run.floodLines >= expectedFlood;
      },
      std::chrono::duration<double>(deadline - SteadyClock::now()).count());
  // A flood is done when its last line is in; the end of the trace waits
  // a moment more for the journal's late lines, which is not intake.
  run.seconds = std::chrono::duration<double>((expectedFlood > 0 ? run.lastFlood : SteadyClock::now()) - start).count();
  run.longestTaskMs = percentile(queue.durations, 1.0);
  run.longestTaskCpuMs = percentile(queue.cpuDurations, 1.0);
  run.ended = view.statusText() == "Process ended";
  std::remove(entry.c_str());
  return run;
}

void BM_StdoutLatency(benchmark::State& state) {
  const auto road = static_cast<Road>(state.range(0));
  if (road == Road::journal && mf::journalUnavailableReason()) {
    state.SkipWithError("no systemd-journald is running");
    return;
  }
  constexpr int kProbes = 200;
  Run run;
  for (auto _ : state) run = trace(road, "--probes " + std::to_string(kProbes) + " 10", 0);
  state.counters["probes"] = static_cast<double>(run.probeMs.size());
  state.counters["probe_p50_ms"] = percentile(run.probeMs, 0.5);
  state.counters["probe_p99_ms"] = percentile(run.probeMs, 0.99);
  state.counters["probe_max_ms"] = percentile(run.probeMs, 1.0);
  state.counters["lost"] = static_cast<double>(kProbes - static_cast<int>(run.probeMs.size()));
}
BENCHMARK(BM_StdoutLatency)->Arg(static_cast<int>(Road::terminal))->Arg(static_cast<int>(Road::journal))
    ->ArgName("road")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The flood program without a trace: `terminal` puts its stdout on a
// pseudo-terminal that this thread drains with nothing but read(); otherwise
// stdbuf keeps the same line buffering into /dev/null. Seconds from the
// spawn to the last line, or a negative value when the program cannot run.
double floorSeconds(bool terminal, std::size_t lines) {
  mf::os::PseudoTerminal pty;
  if (terminal) {
    pty = mf::os::openPseudoTerminal(200, 50);
    if (!pty.master.valid()) return -1;
  }
  const std::string count = std::to_string(lines);
  std::vector<std::string> argv = {MARROWFIELD_STDOUT_PROGRAM, "--flood", count};
  if (!terminal) argv.insert(argv.begin(), {"stdbuf", "-oL"});
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (terminal) {
    posix_spawn_file_actions_adddup2(&actions, pty.slave.get(), STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const auto start = SteadyClock::now();
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) return -1;
  if (terminal) {
    pty.slave.reset();
    // The master reads EIO once the program is gone and its last bytes are in.
    std::vector<char> buffer(1 << 16);
    while (true) {
      const ssize_t n = ::read(pty.master.get(), buffer.data(), buffer.size());
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

void BM_StdoutFlood(benchmark::State& state) {
  const auto road = static_cast<Road>(state.range(0));
  if (road == Road::journal && mf::journalUnavailableReason()) {
    state.SkipWithError("no systemd-journald is running");
    return;
  }
  const std::size_t lines = road == Road::journal ? 100'000 : 1'000'000;
  const std::string mode = road == Road::terminalBlocks ? "--flood-blocks " : "--flood ";
  Run run;
  for (auto _ : state) run = trace(road, mode + std::to_string(lines), lines);
  state.counters["lines_per_s"] = static_cast<double>(run.floodLines) / run.seconds;
  state.counters["max_task_ms"] = run.longestTaskMs;
  state.counters["max_task_cpu_ms"] = run.longestTaskCpuMs;
  state.counters["lost"] = static_cast<double>(lines - std::min(lines, run.floodLines) + run.disorder);
  if (road == Road::terminal) {
    const double alone = floorSeconds(false, lines);
    const double bare = floorSeconds(true, lines);
    state.counters["floor_alone_lines_per_s"] = alone > 0 ? static_cast<double>(lines) / alone : 0;
    state.counters["floor_terminal_lines_per_s"] = bare > 0 ? static_cast<double>(lines) / bare : 0;
    state.counters["of_floor"] = bare > 0 ? state.counters["lines_per_s"] / (static_cast<double>(lines) / bare) : 0;
  }
}
BENCHMARK(BM_StdoutFlood)->Arg(static_cast<int>(Road::terminal))->Arg(static_cast<int>(Road::journal))
    ->Arg(static_cast<int>(Road::terminalBlocks))->ArgName("road")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
