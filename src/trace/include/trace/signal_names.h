// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace mf {

// "SIGSEGV" for this platform's number of SIGSEGV, and so on; "SIGRTMIN+n" for
// real-time signals; "unknown signal" otherwise.
std::string signalName(int number);

}  // namespace mf
