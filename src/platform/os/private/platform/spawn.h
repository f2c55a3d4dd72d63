// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/system_calls.h"

namespace mf::os {

struct SpawnRequest {
  // argv[0] is the program: an absolute or relative path, or a bare name
  // looked up in PATH when searchPath is set.
  std::vector<std::string> argv;
  bool searchPath = false;
  // -1: /dev/null for stdin; stdout and stderr are then inherited. The
  // descriptors may be close-on-exec: the child gets dup2'ed copies.
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
  std::optional<std::string> workingDirectory;
  // NAME=VALUE entries that replace or extend the inherited environment.
  std::vector<std::string> environmentOverrides;
  bool newSession = false;
};

struct Spawned {
  pid_t pid = -1;
  // Opened right after the spawn, before anyone could reap the child, so an
  // exit is never missed. Invalid only when the kernel lacks pidfds.
  UniqueFd pidfd;
  int error = 0;  // errno of the failure; pid is -1 then
};

// posix_spawn with default signal dispositions, an empty signal mask and every
// descriptor above stderr closed in the child. Never goes through a shell.
Spawned spawnProcess(const SpawnRequest& request);

// The PATH lookup posix_spawnp does, for callers that need the file itself.
std::optional<std::string> findInPath(const std::string& name);

}  // namespace mf::os
