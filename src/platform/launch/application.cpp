// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/application.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/desktop_entry.h"
#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "trace/target_name.h"

namespace mf {
namespace {

constexpr std::size_t kMaxDesktopFileSize = 1 << 20;

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string baseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::optional<std::string> canonicalPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string absolutePath(const std::string& path) {
  char* cwd = ::getcwd(nullptr, 0);
  if (!cwd) return path;
  std::string result = std::string(cwd) + "/" + path;
  std::free(cwd);
  return result;
}

std::vector<std::string> applicationDirectories() {
  std::vector<std::string> dirs;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && *dataHome) {
    dirs.push_back(dataHome);
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    dirs.push_back(std::string(home) + "/.local/share");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string list = dataDirs && *dataDirs ? dataDirs : "/usr/local/share/:/usr/share/";
  std::stringstream stream(list);
  for (std::string dir; std::getline(stream, dir, ':');) {
    if (!dir.empty()) dirs.push_back(dir);
  }
  for (auto& dir : dirs) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dir += "/applications";
  }
  return dirs;
}

// Reads a small file whole; errno-style failure in `error`, and in `reason`
// where errno's own text would mislead.
std::optional<std::string> readSmallFile(const std::string& path, int& error, std::string* reason = nullptr) {
  os::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    error = errno;
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    error = errno;
    return std::nullopt;
  }
  if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    error = EINVAL;  // a FIFO or device would block or never end
    if (reason) *reason = "not a regular file";
    return std::nullopt;
  }
  if (info.st_size > static_cast<off_t>(kMaxDesktopFileSize)) {
    error = EFBIG;
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const auto got = os::retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (got < 0) {
      error = errno;
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > kMaxDesktopFileSize) {
      error = EFBIG;
      return std::nullopt;
    }
  }
  return text;
}

enum class ExecutableKind { none, elf, script };

ExecutableKind executableKind(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return ExecutableKind::none;
  if (::access(path.c_str(), X_OK) != 0) return ExecutableKind::none;
  os::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return ExecutableKind::none;
  unsigned char magic[4] = {};
  const auto got = os::retryOnEintr([&] { return ::read(fd.get(), magic, sizeof magic); });
  if (got >= 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') return ExecutableKind::elf;
  if (got >= 2 && magic[0] == '#' && magic[1] == '!') return ExecutableKind::script;
  return ExecutableKind::none;
}

bool isDesktopFile(const std::string& path) { return endsWith(path, ".desktop"); }

}  // namespace

std::string applicationName(const std::string& path) { return applicationNameFromPath(path); }

std::string desktopFileId(const std::string& path) {
  const std::string canonical = canonicalPath(path).value_or(path);
  for (const auto& dir : applicationDirectories()) {
    const std::string prefix = canonicalPath(dir).value_or(dir) + "/";
    if (canonical.compare(0, prefix.size(), prefix) == 0) {
      std::string id = canonical.substr(prefix.size());
      for (auto& c : id) {
        if (c == '/') c = '-';
      }
      return id;
    }
  }
  return baseName(path);
}

std::optional<std::string> findDesktopFile(const std::string& identifier) {
  if (identifier.empty() || identifier.find('/') != std::string::npos) return std::nullopt;
  for (const auto& dir : applicationDirectories()) {
    const std::string direct = dir + "/" + identifier + ".desktop";
    if (::access(direct.c_str(), R_OK) == 0) return direct;
    // "kde-foo" may live in applications/kde/foo.desktop.
    const std::string& nested = identifier;
    for (std::size_t dash = nested.find('-'); dash != std::string::npos; dash = nested.find('-', dash + 1)) {
      std::string candidate = nested;
      candidate[dash] = '/';
      const std::string path = dir + "/" + candidate + ".desktop";
      if (::access(path.c_str(), R_OK) == 0) return path;
    }
  }
  return std::nullopt;
}

bool isLauncherProgram(const std::string& path) {
  const std::string name = baseName(path);
  static const char* const kExact[] = {"env", "sh", "bash", "dash", "zsh", "ksh", "mksh", "fish", "csh", "tcsh",
                                       "busybox", "node", "nodejs", "java", "flatpak", "snap", "gjs", "xdg-open",
                                       "gtk-launch", "gio", "exo-open", "kioclient5", "pkexec", "sudo", "nice",
                                       "ionice", "taskset", "setsid", "nohup", "wine", "mono", "dbus-run-session"};
  for (const char* exact : kExact) {
    if (name == exact) return true;
  }
  static const char* const kPrefixes[] = {"python", "perl", "ruby", "php", "lua", "tclsh", "wish"};
  for (const char* prefix : kPrefixes) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

ApplicationResolution resolveApplication(const std::string& path) {
  ApplicationResolution result;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    result.error = errno;
    result.reason = os::errorText(errno);
    return result;
  }
  ApplicationTarget target;
  target.path = path;
  target.name = applicationName(path);

  if (isDesktopFile(path)) {
    int error = 0;
    std::string reason;
    auto text = readSmallFile(path, error, &reason);
    if (!text) {
      result.error = error;
      result.reason = reason.empty() ? os::errorText(error) : reason;
      return result;
    }
    auto parsed = parseDesktopEntry(*text);
    if (!parsed.entry) {
      result.reason = parsed.error;
      return result;
    }
    if (parsed.entry->hidden) {
      result.reason = "the desktop entry is marked Hidden";
      return result;
    }
    if (parsed.entry->tryExec && !os::findInPath(*parsed.entry->tryExec)) {
      result.error = ENOENT;
      result.reason = "TryExec program not found: " + *parsed.entry->tryExec;
      return result;
    }
    target.kind = ApplicationTarget::Kind::desktopEntry;
    target.identifier = applicationName(desktopFileId(path));
    target.argv = parsed.entry->exec;
    if (auto program = os::findInPath(target.argv.front())) {
      target.argv.front() = *program;
      if (!isLauncherProgram(*program)) target.instanceExecutable = canonicalPath(*program).value_or(*program);
    }
    target.workingDirectory = parsed.entry->path;
    result.target = std::move(target);
    return result;
  }

  if (S_ISDIR(info.st_mode)) {
    result.error = EISDIR;
    result.reason = "it is a folder, not an application";
    return result;
  }
  const auto canonical = canonicalPath(path);
  if (!canonical) {
    result.error = errno;
    result.reason = os::errorText(errno);
    return result;
  }
  target.kind = ApplicationTarget::Kind::executable;
  target.identifier = *canonical;
  // Started by the name it was chosen by, not the resolved file: multi-call
  // programs (busybox, vim as ex) decide what they are from argv[0].
  target.argv = {path.front() == '/' ? path : absolutePath(path)};
  target.instanceExecutable = *canonical;
  if (executableKind(*canonical) == ExecutableKind::none) {
    // Still a target: launching it gives the system's own answer
    // ("Permission denied", "Exec format error").
    result.reason = "not an executable program";
  }
  result.target = std::move(target);
  return result;
}

bool isScriptFile(const std::string& path) { return executableKind(path) == ExecutableKind::script; }

std::string desktopEntryName(const std::string& path) {
  if (!isDesktopFile(path)) return {};
  int error = 0;
  const auto text = readSmallFile(path, error);
  if (!text) return {};
  const auto parsed = parseDesktopEntry(*text);
  return parsed.entry ? parsed.entry->name : std::string();
}

bool isApplication(const std::string& path) {
  if (isDesktopFile(path)) {
    auto resolved = resolveApplication(path);
    return resolved.target.has_value();
  }
  return executableKind(path) != ExecutableKind::none;
}

}  // namespace mf
