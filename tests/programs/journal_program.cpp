// SPDX-License-Identifier: GPL-3.0-or-later
// A target that writes to the journal on each of its roads, as told on
// stdin, one line at a time: "native TEXT" (sd_journal_send), "syslog TEXT"
// (a datagram to /dev/log), "stderr TEXT" (its stderr, a journal stream when
// its launcher made it one). With the argument "big" it starts a child that
// sends one binary 64 MiB message at priority 3 (error) and waits for it.
// For the benchmarks: "probes HOW N MS" writes N lines "latency probe
// <CLOCK_MONOTONIC ns>" on the road HOW (native, syslog, stderr), one every
// MS; "flood RATE SECONDS" sends RATE native lines "flood line <n>" a
// second for SECONDS.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

void write(const std::string& how, const std::string& text) {
  if (how == "native") {
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=6", "SYSLOG_IDENTIFIER=journal-program", nullptr);
  } else if (how == "syslog") {
    ::syslog(LOG_INFO, "%s", text.c_str());
  } else if (how == "stderr") {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

long long monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

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
  if (argc == 5 && std::string(argv[1]) == "probes") {
    const int count = std::atoi(argv[3]);
    const auto interval = std::chrono::milliseconds(std::atoi(argv[4]));
    for (int i = 0; i < count; ++i) {
      write(argv[2], "latency probe " + std::to_string(monotonicNanos()));
      std::this_thread::sleep_for(interval);
    }
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "flood") {
    const long rate = std::atol(argv[2]);
    const long total = rate * std::atol(argv[3]);
    const auto start = std::chrono::steady_clock::now();
    for (long n = 1; n <= total; ++n) {
      write("native", "flood line " + std::to_string(n));
      // Paced: line n is due n/rate seconds after the start.
      if (n % 100 == 0) std::this_thread::sleep_until(start + std::chrono::microseconds(n * 1000000 / rate));
    }
    return 0;
  }
  for (std::string line; std::getline(std::cin, line);) {
    const auto space = line.find(' ');
    write(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1));
  }
  return 0;
}
