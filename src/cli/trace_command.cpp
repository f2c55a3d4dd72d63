// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-cli trace: one whole trace, headless, through the same
// ContentView the window uses and the Linux platform services.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <utility>
#include <vector>

#include "json_output.h"
#include "remote_trace.h"
#include "terminal_text.h"
#include "trace_options.h"
#include "trace_report.h"
#include "commands.h"
#include "help_text.h"
#include "export/summary.h"
#include "platform/application.h"
#include "platform/event_loop_main_queue.h"
#include "platform/linux_services.h"
#include "platform/linux_workspace.h"
#include "platform/system_calls.h"
#include "trace/content_view.h"

namespace mf::cli {
namespace {

// Also the manual page: dist/man/marrowfield-cli.help is the source of both.
constexpr const char* kUsage = help::kTrace;

// How long a trace's log stream may still deliver after the trace ended
// (its linger) before the summary is taken.
constexpr double kLateLinesSeconds = 3.0;

std::atomic<bool> interrupted{false};

void onInterrupt(int) { interrupted = true; }

// The open panel's stand-in: it "chooses" the application named on the
// command line.
class FixedChoice final : public OpenPanel {
 public:
  explicit FixedChoice(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return path_; }

 private:
  std::string path_;
};

// Nothing to paste into: the summary is printed instead.
class NoPasteboard final : public Pasteboard {
 public:
  void setString(const std::string&) override {}
};

// How long an event is held before it is printed: a journal line reaches the
// trace some milliseconds after a stdout line written at the same moment, so
// an event is printed once the journal road has had the time to catch up
// with it, and the lines printed as they come are in the order they were
// written, as the summary below them is.
constexpr double kHoldSeconds = 0.1;

// Prints each event once, when it is visible and its hold is over, in the
// list's order (the order written). A line later than the hold (journald
// stalled) is printed when it comes, after the lines already printed.
class EventPrinter {
 public:
  explicit EventPrinter(const ContentView& view) : view_(view) {}

  void onChange(const Change& change) {
    if (change.has(Change::visibleReset)) {
      from_ = 0;
    } else if (change.has(Change::visibleInserted)) {
      from_ = std::min(from_, change.firstChangedRow);
    } else {
      return;
    }
    print(false);
  }

  // Prints the events whose hold is over, or all of them when `all`.
  void print(bool all) {
    const auto& rows = view_.visibleRows();
    const double heldFrom = wallClockNow() - kHoldSeconds;
    for (std::size_t i = from_; i < rows.size(); ++i) {
      const EventView event = view_.events()[rows[i]];
      if (!printed_.contains(*event.id)) {
        if (!all && event.time > heldFrom) break;
        printed_.insert(*event.id);
        const std::string line = forOutput(indentContinuationLines(summaryEventLine(event)) + "\n");
        std::fwrite(line.data(), 1, line.size(), stdout);
      }
      from_ = i + 1;  // every row up to here is printed
    }
    std::fflush(stdout);
  }

 private:
  static double wallClockNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  }

  const ContentView& view_;
  std::unordered_set<Uuid, UuidHash> printed_;
  std::size_t from_ = 0;  // the rows before it are all printed
};

// Says on stderr why the named path cannot be traced.
bool isTraceable(const std::string& app) {
  struct stat info {};
  if (::stat(app.c_str(), &info) != 0) {
    const int error = errno;
    printError("marrowfield-cli trace: " + app + ": " + os::errorText(error));
    return false;
  }
  if (!LinuxWorkspace::isApplication(app)) {
    const auto resolved = resolveApplication(app);
    std::string reason = resolved.reason;
    if (reason.empty() || resolved.target) reason = "not a desktop entry of Type=Application or an executable program";
    printError("marrowfield-cli trace: " + app + " is not an application: " + reason);
    return false;
  }
  return true;
}

void applyOptions(ContentView& view, const TraceOptions& options) {
  view.setShowRawLog(options.showRawLog);
  view.setSearchText(options.searchText);
  view.setFreshLaunch(options.freshLaunch);
  view.setLaunchParameters(options.arguments, options.environment, options.qtLevelPrefix);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the trace until the target ends, --seconds pass or Ctrl-C, and stops
// it; prints the events whose hold is over as it goes. With `bound`, also
// until the connection that runs it ends.
void traceToTheEnd(EventLoopMainQueue& queue, ContentView& view, const TraceOptions& options, EventPrinter& printer,
                   ConnectionBoundTrace* bound) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ::sigaction(SIGINT, &action, &previous);

  view.startTrace();
  const auto started = std::chrono::steady_clock::now();
  // In slices, so Ctrl-C (which cannot post from a signal handler) is seen
  // and held events are printed when their hold is over.
  const auto stopAsked = [&] { return interrupted || (bound && bound->ended()); };
  while (view.isTracing() && !stopAsked() && (!options.seconds || secondsSince(started) < *options.seconds)) {
    if (!options.json) printer.print(false);
    double slice = 0.02;
    if (options.seconds) slice = std::min(slice, std::max(0.0, *options.seconds - secondsSince(started)));
    queue.runUntil([&] { return !view.isTracing() || interrupted; }, slice);
  }
  if (view.isTracing()) view.stopTrace(true);
  ::sigaction(SIGINT, &previous, nullptr);
}

// The journal hands lines on late; take them before the summary.
// (In slices: a stream that ends posts nothing that would wake the queue.)
void takeLateLines(EventLoopMainQueue& queue, LinuxServices& platform) {
  const auto ended = std::chrono::steady_clock::now();
  while (platform.logStreams.lingeringStreams() > 0 && secondsSince(ended) < kLateLinesSeconds) queue.wait(0.05);
  queue.drain();
}

int exitStatusOf(const ContentView& view) { return cli::exitStatusOf(view.events(), view.visibleRows()); }

// Prints the verdict and the summary; the exit status says whether an error
// event is listed.
int reportSummary(const ContentView& view, const std::optional<Baseline>& baseline) {
  SummaryHeader header{indentContinuationLines(view.selectedAppName()), std::nullopt,
                       indentContinuationLines(view.selectedBundleIdentifier()), view.showRawLog()};
  if (view.selectedAppURL()) header.appPath = indentContinuationLines(*view.selectedAppURL());
  return cli::reportSummary(header, view.events(), view.visibleRows(), baseline);
}

}  // namespace

int runTrace(std::span<char* const> args) {
  // Asked first by --host, on the other machine: the schema --json writes.
  if (args.size() == 1 && std::string_view(args[0]) == "--schema") {
    std::printf("%s\n", std::string(kJsonSchema).c_str());
    return 0;
  }
  bool helpRequested = false;
  std::string error;
  const auto options = parseTraceOptions(std::span<const char* const>(args.data(), args.size()), helpRequested, error);
  if (helpRequested) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options) {
    printError(error);
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!options->host && !isTraceable(options->app)) return 2;
  std::optional<Baseline> baseline;
  if (options->baseline) {
    baseline = readBaseline(*options->baseline, error);
    if (!baseline) {
      printError(error);
      return 2;
    }
  }

  if (options->host) return runRemoteTrace(*options, baseline);

  std::error_code ignored;
  const std::string path = std::filesystem::absolute(options->app, ignored).lexically_normal().string();

  // Declared in this order so they go in reverse: the view first (it stops a
  // running trace), then the streams that may still linger, then the queue
  // their sinks post to.
  EventLoopMainQueue queue;
  LinuxServices platform(queue);
  FixedChoice panel(path);
  NoPasteboard pasteboard;
  std::optional<ConnectionBoundTrace> bound;
  if (options->untilStdinCloses) bound.emplace(platform.workspace);
  ContentView view(bound ? bound->services(platform.services(panel, pasteboard)) : platform.services(panel, pasteboard));

  EventPrinter printer(view);
  JsonTraceWriter json(view, baseline);
  if (options->json) {
    view.setChangeObserver([&json](const Change& change) { json.onChange(change); });
  } else {
    view.setChangeObserver([&printer](const Change& change) { printer.onChange(change); });
  }
  applyOptions(view, *options);

  view.chooseApplication();
  if (!view.selectedAppURL()) {
    printError("marrowfield-cli trace: " + options->app + " could not be chosen");
    return 2;
  }
  traceToTheEnd(queue, view, *options, printer, bound ? &*bound : nullptr);
  takeLateLines(queue, platform);
  const bool written = !options->json || json.finish();
  if (bound) bound->endLaunchedTree();
  if (options->json) return written ? exitStatusOf(view) : 1;
  printer.print(true);
  return reportSummary(view, baseline);
}

}  // namespace mf::cli
