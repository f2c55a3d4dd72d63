// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace mf {

// `text` as one part of a unit name, escaped as systemd-escape does: every
// byte outside [A-Za-z0-9:_.], and a leading '.', becomes \xNN.
std::string escapeUnitNamePart(std::string_view text);

// The name desktop environments give an application's scope, with
// "marrowfield" as the launcher: app-marrowfield-<escaped id>-<suffix>.scope.
std::string applicationScopeName(std::string_view applicationId, std::string_view suffix);

// Moves `pid`, a child of ours not yet reaped, into a new transient scope of
// the user's service manager, as desktop launchers do, so that journald files
// every entry of its process tree under that unit; returns the unit once the
// process is in it. The process is held stopped until then (at most a
// second), so nothing it or its helpers write goes out under our own unit.
// Nothing when no user manager can be reached (a container, CI, a session
// without systemd) or it refused; the trace then follows the process tree
// by itself.
std::optional<std::string> startApplicationScope(pid_t pid, std::string_view applicationId);

}  // namespace mf
