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
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "all") return 2;
  const char* marker = argv[2];
  std::printf("%s stdout\n", marker);
  std::fprintf(stderr, "%s stderr\n", marker);
  g_warning("%s glib-warning", marker);
  g_message("%s glib-message", marker);
  sd_journal_print(LOG_NOTICE, "%s sd-journal", marker);
  openlog(nullptr, LOG_PID, LOG_USER);
  syslog(LOG_WARNING, "%s syslog", marker);
  closelog();

  const std::string message = std::string(marker) + " logger-child";
  const char* loggerArgv[] = {"logger", "-t", "other-name", message.c_str(), nullptr};
  pid_t logger = -1;
  if (posix_spawnp(&logger, "logger", nullptr, nullptr, const_cast<char**>(loggerArgv), environ) == 0) {
    ::waitpid(logger, nullptr, 0);
  } else {
    std::fprintf(stderr, "%s logger could not be started\n", marker);
  }

  // A grandchild that waits until this process has exited (the pipe's write
  // end, which only we hold, closes then) and logs after it.
  int ends[2];
  std::fflush(nullptr);  // nothing buffered may be written twice
  if (::pipe(ends) == 0) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::fork() == 0) {
        ::close(ends[1]);
        char byte;
        while (::read(ends[0], &byte, 1) > 0) {
        }
        sd_journal_print(LOG_INFO, "%s grandchild-journal", marker);
        std::printf("%s grandchild-stdout\n", marker);
        std::fflush(stdout);
      }
      ::_exit(0);
    }
    ::close(ends[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
  }

  std::printf("%s last-stdout\n", marker);
  std::fprintf(stderr, "%s last-stderr\n", marker);
  sd_journal_print(LOG_INFO, "%s last-journal", marker);
  return 0;
}
