// SPDX-License-Identifier: GPL-3.0-or-later
// A target that writes to the journal on each of its roads, as told on
// stdin, one line at a time: "native TEXT" (sd_journal_send), "syslog TEXT"
// (a datagram to /dev/log), "stderr TEXT" (its stderr, a journal stream when
// its launcher made it one). With the argument "big" it starts a child that
// sends one binary 64 MiB message at priority 3 (error) and waits for it.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "big") {
    const pid_t child = ::fork();
    if (child == 0) {
      std::string message = "MESSAGE=";
      message.resize(message.size() + (std::size_t{64} << 20));
      unsigned state = 12345;
      for (std::size_t i = 8; i < message.size(); ++i) {
        state = state * 1103515245u + 12345u;
        message[i] = static_cast<char>(state >> 16);
      }
      iovec fields[] = {{message.data(), message.size()},
                        {const_cast<char*>("PRIORITY=3"), 10},
                        {const_cast<char*>("SYSLOG_IDENTIFIER=big-sender"), 28}};
      _exit(sd_journal_sendv(fields, 3) < 0 ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  ::openlog("journal-program", LOG_PID, LOG_USER);
  for (std::string line; std::getline(std::cin, line);) {
    const auto space = line.find(' ');
    const std::string how = line.substr(0, space);
    const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
    if (how == "native") {
      sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=6", "SYSLOG_IDENTIFIER=journal-program", nullptr);
    } else if (how == "syslog") {
      ::syslog(LOG_INFO, "%s", text.c_str());
    } else if (how == "stderr") {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
  }
  return 0;
}
