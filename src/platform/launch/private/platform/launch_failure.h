// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The description that follows "Launch failed: " in the trace. The system's
// own words ("No such file or directory") say what went wrong but not to
// what; a desktop entry can fail on its file or on the program its Exec
// names, so the description names the one that failed.

#include <string>

#include "platform/application.h"

namespace mf {

// The chosen file could not be read as an application:
// "/opt/demo/Demo.desktop: Permission denied".
std::string describeResolutionFailure(const std::string& chosenPath, const std::string& reason);

// Starting the target's program failed with `error` (an errno value):
// "/opt/demo/demo: No such file or directory", and for a desktop entry
// "demo-gone (Exec of Demo.desktop): No such file or directory (not found in PATH)".
std::string describeSpawnFailure(const ApplicationTarget& target, int error);

}  // namespace mf
