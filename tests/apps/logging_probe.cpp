// SPDX-License-Identifier: GPL-3.0-or-later
// A program that logs every way a Linux desktop program does, each line
// carrying the marker given on the command line, so a test can count how
// often each one reached a trace:
//
//   logging-probe all MARKER    GLib structured logging, sd_journal_print,
//                               syslog(), a `logger -t other-name` child,
//                               stdout, stderr, a grandchild that logs after
//                               this process exited, and last lines written
//                               right before exit
//
// Each line is "MARKER <what>", and <what> is unique within one run.

#define G_LOG_DOMAIN "MfProbe"
#define G_LOG_USE_STRUCTURED 1
#include <glib.h>

#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

extern char** environ;

namespace {

void runLogger(const std::string& marker) {
  const std::string tag = "other-name";
  const std::string message = marker + " logger-child";
  const char* argv[] = {"logger", "-t", tag.c_str(), message.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "logger", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::fprintf(stderr, "%s logger could not be started\n", marker.c_str());
    return;
  }
  ::waitpid(pid, nullptr, 0);
}

// A grandchild that waits until this process has exited (the pipe's write
// end, which only we hold, closes then) and logs after it.
void leaveGrandchild(const std::string& marker) {
  int ends[2];
  if (::pipe(ends) != 0) return;
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t child = ::fork();
  if (child == 0) {
    if (::fork() == 0) {
      ::close(ends[1]);
      char byte;
      while (::read(ends[0], &byte, 1) > 0) {
      }
      sd_journal_print(LOG_INFO, "%s grandchild-journal", marker.c_str());
      std::printf("%s grandchild-stdout\n", marker.c_str());
      std::fflush(stdout);
      ::_exit(0);
    }
    ::_exit(0);
  }
  ::close(ends[0]);
  if (child > 0) ::waitpid(child, nullptr, 0);
  // ends[1] stays open until we exit.
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "all") {
    std::fprintf(stderr, "usage: logging-probe all MARKER\n");
    return 2;
  }
  const std::string marker = argv[2];

  std::printf("%s stdout\n", marker.c_str());
  std::fprintf(stderr, "%s stderr\n", marker.c_str());
  g_warning("%s glib-warning", marker.c_str());
  g_message("%s glib-message", marker.c_str());
  sd_journal_print(LOG_NOTICE, "%s sd-journal", marker.c_str());
  openlog(nullptr, LOG_PID, LOG_USER);
  syslog(LOG_WARNING, "%s syslog", marker.c_str());
  closelog();
  runLogger(marker);
  leaveGrandchild(marker);

  std::printf("%s last-stdout\n", marker.c_str());
  std::fprintf(stderr, "%s last-stderr\n", marker.c_str());
  sd_journal_print(LOG_INFO, "%s last-journal", marker.c_str());
  return 0;
}
