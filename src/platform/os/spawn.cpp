// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/spawn.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace mf::os {
namespace {

// The posix_spawn attribute and file-action objects as scoped values.
struct SpawnAttributes {
  posix_spawnattr_t value;
  SpawnAttributes() { posix_spawnattr_init(&value); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
};

struct FileActions {
  posix_spawn_file_actions_t value;
  FileActions() { posix_spawn_file_actions_init(&value); }
  ~FileActions() { posix_spawn_file_actions_destroy(&value); }
};

}  // namespace

Spawned spawnProcess(const SpawnRequest& request) {
  Spawned result;
  if (request.argv.empty() || request.argv.front().empty()) {
    result.error = ENOENT;
    return result;
  }

  SpawnAttributes attributes;
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  // A parent that ignores SIGPIPE (or blocks signals on its threads) would
  // pass that on: reset both, so the child starts as from a clean login.
  posix_spawnattr_setsigdefault(&attributes.value, &all);
  posix_spawnattr_setsigmask(&attributes.value, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attributes.value, flags);

  FileActions actions;
  if (request.stdinFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions.value, request.stdinFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (request.stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions.value, request.stdoutFd, STDOUT_FILENO);
  if (request.stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions.value, request.stderrFd, STDERR_FILENO);
  if (request.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions.value, request.workingDirectory->c_str());
  }
  // Descriptors a library opened without O_CLOEXEC must not reach the target
  // either (a held pipe end would keep some reader waiting for EOF).
  posix_spawn_file_actions_addclosefrom_np(&actions.value, STDERR_FILENO + 1);

  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  for (const auto& argument : request.argv) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // The inherited environment, with each override replacing the entry of its name.
  std::vector<std::string> environment;
  std::vector<char*> envp;
  char** env = environ;
  if (!request.environmentOverrides.empty()) {
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; entry && *entry; ++entry) {
      const std::string_view name = nameOf(*entry);
      const bool replaced = std::any_of(request.environmentOverrides.begin(), request.environmentOverrides.end(),
                                        [&](const std::string& o) { return nameOf(o) == name; });
      if (!replaced) environment.emplace_back(*entry);
    }
    for (const auto& entry : request.environmentOverrides) environment.push_back(entry);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    env = envp.data();
  }

  pid_t pid = -1;
  const int error = request.searchPath
                        ? ::posix_spawnp(&pid, argv[0], &actions.value, &attributes.value, argv.data(), env)
                        : ::posix_spawn(&pid, argv[0], &actions.value, &attributes.value, argv.data(), env);
  if (error != 0) {
    result.error = error;
    return result;
  }
  result.pid = pid;
  result.pidfd = pidfdOpen(pid);
  return result;
}

std::optional<std::string> findInPath(const std::string& name) {
  auto isExecutableFile = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
  };
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (isExecutableFile(name)) return name;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  const std::string_view search = path && *path ? std::string_view(path) : std::string_view("/usr/local/bin:/usr/bin:/bin");
  std::size_t begin = 0;
  while (begin <= search.size()) {
    std::size_t end = search.find(':', begin);
    if (end == std::string_view::npos) end = search.size();
    // An empty PATH entry means the current directory.
    const std::string_view dir = end > begin ? search.substr(begin, end - begin) : std::string_view(".");
    std::string candidate;
    candidate.reserve(dir.size() + 1 + name.size());
    candidate.append(dir).append(1, '/').append(name);
    if (isExecutableFile(candidate)) return candidate;
    begin = end + 1;
  }
  return std::nullopt;
}

}  // namespace mf::os
