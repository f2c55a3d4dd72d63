// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace mf {

// "SIGSEGV" for this platform's number of SIGSEGV, and so on; "SIGRTMIN+n" for
// real-time signals; "unknown signal" otherwise.
std::string signalName(int number);

// Whether the signal's default action dumps core (SIGSEGV, SIGABRT, ...):
// the signals a program brings on itself by a fault. SIGKILL or SIGTERM from
// another process is no crash of the program.
bool signalDumpsCore(int number);

}  // namespace mf
