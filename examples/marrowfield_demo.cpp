// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-demo: a small application that fails its start in the ways
// Marrowfield is meant to show. It tells the same story on every run, on
// stdout, stderr and through the journal API, then ends as its options ask.
//
//   --bundle-id ID   identifier for the app-authored subsystem line
//                    (default: the canonical path of this executable)
//   --exit N         exit with status N (default 0)
//   --crash          write through a bad pointer in loadSettings (SIGSEGV,
//                    which the kernel logs: where, down to the function)
//   --stay           keep running until SIGTERM
//   --ignore-term    ignore SIGTERM (with --stay: runs until SIGKILL)
//   --flood N        write N numbered lines to stdout as fast as possible
//   --fork-child     fork; the parent ends, the child writes ten more lines
//                    over about a second and then ends
//
// MARROWFIELD_DEMO_OPTIONS adds options from the environment (split at
// blanks), for launchers that cannot pass arguments.

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
  std::string bundleId;
  int exitCode = 0;
  bool crash = false;
  bool stay = false;
  bool ignoreTerm = false;
  long flood = 0;
  bool forkChild = false;
};

volatile std::sig_atomic_t terminationRequested = 0;

void onTerm(int) { terminationRequested = 1; }

void sleepMilliseconds(long ms) {
  timespec delay{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR && !terminationRequested) {
  }
}

std::string selfPath() {
  char buffer[PATH_MAX];
  const auto length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "marrowfield-demo";
  return std::string(buffer, static_cast<std::size_t>(length));
}

bool parse(const std::vector<std::string>& args, Options& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (arg == "--crash") {
      options.crash = true;
    } else if (arg == "--stay") {
      options.stay = true;
    } else if (arg == "--ignore-term") {
      options.ignoreTerm = true;
    } else if (arg == "--fork-child") {
      options.forkChild = true;
    } else if (arg == "--exit" || arg == "--flood" || arg == "--bundle-id") {
      const std::string* v = value();
      if (!v) {
        std::fprintf(stderr, "marrowfield-demo: %s needs a value\n", arg.c_str());
        return false;
      }
      if (arg == "--exit") options.exitCode = std::atoi(v->c_str());
      if (arg == "--flood") options.flood = std::atol(v->c_str());
      if (arg == "--bundle-id") options.bundleId = *v;
    } else {
      std::fprintf(stderr, "marrowfield-demo: unknown option %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

// Between lines on different roads (stdout, stderr, the journal API) the
// story pauses a moment, as a program doing work between them would: the
// journal stamps a stderr line when journald reads it, so two lines written
// within a millisecond on two roads could not be told apart by their times.
void nextRoad() { sleepMilliseconds(40); }

void tellStory(const Options& options) {
  const int pid = static_cast<int>(getpid());
  std::printf("marrowfield-demo 1.0 starting (pid %d)\n", pid);
  nextRoad();
  // The app's own subsystem line, in the compact style of a unified log.
  sd_journal_print(LOG_INFO, "Df marrowfield-demo[%d:%d] [%s:general] Reading workspace settings", pid, pid,
                   options.bundleId.c_str());
  nextRoad();
  std::fprintf(stderr, "Could not open file /etc/marrowfield-demo/settings.conf: No such file or directory\n");
  std::fprintf(stderr, "open(/var/lib/marrowfield-demo/secret.key): Permission denied\n");
  nextRoad();
  std::printf("warning: cache directory is missing, using defaults\n");
  nextRoad();
  sd_journal_print(LOG_ERR, "error: failed to connect to the update server (code 7)");
  nextRoad();
  std::printf("Ready for work\n");
}

}  // namespace

struct Settings {
  int version = 0;
};

// Never set: read through a volatile, so no compiler can see that it is null.
Settings* volatile missingSettings = nullptr;

// The bug the demo crashes on: a real fault, which the kernel logs (a signal
// the program raises itself it does not), so the trace names this function
// and line where the debug information is at hand (-g, or the -dbgsym
// package under /usr/lib/debug).
[[gnu::noinline]] void loadSettings(Settings* settings) {
  settings->version = 2;  // the demo's crash
}

int main(int argc, char** argv) {
  // Unbuffered, so stdout and stderr lines keep their order in one stream.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  std::vector<std::string> args;
  if (const char* extra = std::getenv("MARROWFIELD_DEMO_OPTIONS")) {
    std::istringstream stream(extra);
    for (std::string word; stream >> word;) args.push_back(word);
  }
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  Options options;
  if (!parse(args, options)) return 64;
  if (options.bundleId.empty()) options.bundleId = selfPath();

  struct sigaction action {};
  action.sa_handler = options.ignoreTerm ? SIG_IGN : onTerm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);

  tellStory(options);
  for (long i = 1; i <= options.flood; ++i) std::printf("flood line %ld\n", i);

  if (options.forkChild) {
    const pid_t child = fork();
    if (child == 0) {
      for (int i = 1; i <= 10 && !terminationRequested; ++i) {
        std::printf("background helper still writing (%d of 10)\n", i);
        sleepMilliseconds(100);
      }
      _exit(0);
    }
    if (child < 0) std::fprintf(stderr, "error: fork failed: %s\n", std::strerror(errno));
  }

  if (options.crash) {
    nextRoad();
    std::fprintf(stderr, "fatal error: dereferencing a bad pointer in the settings loader\n");
    std::signal(SIGSEGV, SIG_DFL);
    loadSettings(missingSettings);
  }
  if (options.stay) {
    while (!terminationRequested) pause();
    std::printf("Received SIGTERM, shutting down\n");
  }
  return options.exitCode;
}
