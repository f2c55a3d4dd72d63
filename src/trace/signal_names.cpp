// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace/signal_names.h"

#include <csignal>
#include <cstring>

namespace mf {

std::string signalName(int number) {
  // glibc calls 29 by its System V alias, "POLL"; Linux documents it as SIGIO.
  if (number == SIGIO) return "SIGIO";
  if (number >= SIGRTMIN && number <= SIGRTMAX) return "SIGRTMIN+" + std::to_string(number - SIGRTMIN);
  if (const char* abbreviation = sigabbrev_np(number)) return std::string("SIG") + abbreviation;
  return "unknown signal";
}

bool signalDumpsCore(int number) {
  switch (number) {
    case SIGQUIT:
    case SIGILL:
    case SIGTRAP:
    case SIGABRT:
    case SIGBUS:
    case SIGFPE:
    case SIGSEGV:
    case SIGXCPU:
    case SIGXFSZ:
    case SIGSYS:
      return true;
    default:
      return false;
  }
}

}  // namespace mf
