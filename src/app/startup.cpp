// SPDX-License-Identifier: GPL-3.0-or-later
#include "startup.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/application.h"
#include "platform/posix_io.h"

namespace mf::app {

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool xServerAnswers(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  const bool answered = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return answered;
}

// A Wayland compositor listens on a socket in XDG_RUNTIME_DIR (or at the
// absolute path given); connecting is all Qt would do first.
bool compositorAnswers(const std::string& display) {
  std::string path = display;
  if (path.front() != '/') {
    const std::string runtime = environment("XDG_RUNTIME_DIR");
    if (runtime.empty()) return false;
    path = runtime + "/" + display;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return answered;
}

}  // namespace

std::optional<std::string> displayProblem() {
  if (!environment("QT_QPA_PLATFORM").empty()) return std::nullopt;
  const std::string x = environment("DISPLAY");
  const std::string wayland = environment("WAYLAND_DISPLAY");
  const std::string remedy = "; run a headless trace with: marrowfield-cli trace APP";
  if (x.empty() && wayland.empty()) return "no display found (DISPLAY/WAYLAND_DISPLAY unset)" + remedy;
  if (!x.empty() && xServerAnswers(x)) return std::nullopt;
  if (!wayland.empty() && compositorAnswers(wayland)) return std::nullopt;
  std::string named;
  if (!x.empty()) named = "DISPLAY=" + x;
  if (!wayland.empty()) named += (named.empty() ? "WAYLAND_DISPLAY=" : " or WAYLAND_DISPLAY=") + wayland;
  return "cannot connect to the display " + named +
         " (no display server answers there, or it refused this user)" + remedy;
}

ApplicationArgument applicationArgument(const std::string& argument) {
  ApplicationArgument result;
  if (argument.empty()) {
    result.problem = "an empty name is not an application";
    return result;
  }
  result.path = argument;
  if (argument.front() != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd != nullptr) {
      result.path = std::string(cwd) + "/" + argument;
      std::free(cwd);
    }
  }
  struct stat info {};
  if (::stat(result.path.c_str(), &info) != 0) {
    result.problem = argument + ": " + posix::errorText(errno);
    return result;
  }
  if (!isApplication(result.path)) {
    const ApplicationResolution resolved = resolveApplication(result.path);
    std::string reason = resolved.reason;
    if (reason.empty() || resolved.target) reason = "not a desktop entry of Type=Application or an executable program";
    result.problem = argument + " is not an application: " + reason;
  }
  return result;
}

std::optional<std::string> CommandLineChoice::run(const OpenPanelConfiguration& configuration) {
  if (pending_) {
    std::optional<std::string> chosen = std::move(pending_);
    pending_.reset();
    return chosen;
  }
  return chooser_.run(configuration);
}

}  // namespace mf::app
