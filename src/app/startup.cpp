// SPDX-License-Identifier: GPL-3.0-or-later
#include "startup.h"

#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xcb/xcb.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>

#include "platform/application.h"
#include "platform/system_calls.h"

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

// The compositor's globals (interface names), or nothing when none answers
// at WAYLAND_DISPLAY (a name in XDG_RUNTIME_DIR or an absolute path).
std::optional<std::vector<std::string>> waylandGlobals(const std::string& display) {
  wl_display* connection = wl_display_connect(display.c_str());
  if (connection == nullptr) return std::nullopt;
  std::vector<std::string> globals;
  static const wl_registry_listener listener{
      [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
        static_cast<std::vector<std::string>*>(data)->emplace_back(interface);
      },
      [](void*, wl_registry*, uint32_t) {},
  };
  wl_registry* registry = wl_display_get_registry(connection);
  wl_registry_add_listener(registry, &listener, &globals);
  const bool answered = wl_display_roundtrip(connection) >= 0;
  wl_registry_destroy(registry);
  wl_display_disconnect(connection);
  if (!answered) return std::nullopt;
  return globals;
}

}  // namespace

std::optional<std::string> displayProblem() {
  if (!environment("QT_QPA_PLATFORM").empty()) return std::nullopt;
  const std::string x = environment("DISPLAY");
  const std::string wayland = environment("WAYLAND_DISPLAY");
  const std::string remedy = "; run a headless trace with: marrowfield-cli trace APP";
  if (x.empty() && wayland.empty()) return "no display found (DISPLAY/WAYLAND_DISPLAY unset)" + remedy;
  if (!x.empty() && xServerAnswers(x)) return std::nullopt;
  if (!wayland.empty() && waylandGlobals(wayland)) return std::nullopt;
  std::string named;
  if (!x.empty()) named = "DISPLAY=" + x;
  if (!wayland.empty()) named += (named.empty() ? "WAYLAND_DISPLAY=" : " or WAYLAND_DISPLAY=") + wayland;
  return "cannot connect to the display " + named +
         " (no display server answers there, or it refused this user)" + remedy;
}

bool waylandTextInputWithoutSeat(const std::vector<std::string>& globals, const std::string& requested) {
  // Any other module is Qt's client-side input context, which never asks
  // the compositor for text input.
  if (!requested.empty() && requested != "wayland") return false;
  const auto offers = [&globals](const char* name) {
    return std::find(globals.begin(), globals.end(), name) != globals.end();
  };
  // The managers Qt 6.4 binds (text-input v3 it leaves alone).
  const bool textInput = offers("zwp_text_input_manager_v1") || offers("zwp_text_input_manager_v2") ||
                         offers("qt_text_input_method_manager_v1");
  return textInput && !offers("wl_seat");
}

std::optional<std::string> inputMethodOverride(const std::string& platform) {
  const std::string requested = environment("QT_IM_MODULE");
  if (!requested.empty() && requested != "wayland") return std::nullopt;
  const std::string chosen = platform.empty() ? environment("QT_QPA_PLATFORM") : platform;
  const std::string display = environment("WAYLAND_DISPLAY");
  if (chosen.empty() ? display.empty() : chosen.rfind("wayland", 0) != 0) return std::nullopt;
  const auto globals = waylandGlobals(display.empty() ? "wayland-0" : display);
  if (!globals || !waylandTextInputWithoutSeat(*globals, requested)) return std::nullopt;
  return std::string("compose");
}

EarlyOptions parseEarlyOptions(const std::vector<std::string>& arguments) {
  EarlyOptions options;
  for (std::size_t i = 0; i < arguments.size() && options.answer == EarlyOptions::Answer::none; ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-platform") {
      options.platformChosen = true;
      if (i + 1 < arguments.size()) options.platform = arguments[i + 1];
    } else if (argument == "--help" || argument == "-h") {
      options.answer = EarlyOptions::Answer::help;
    } else if (argument == "--version") {
      options.answer = EarlyOptions::Answer::version;
    }
  }
  return options;
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  std::vector<std::string> named;
  bool options = true;
  for (const std::string& argument : arguments) {
    if (options && argument == "--") {
      options = false;
    } else if (options && argument.size() > 1 && argument.front() == '-') {
      line.usageError = "unknown option " + argument + " (see marrowfield --help)";
      return line;
    } else {
      named.push_back(argument);
    }
  }
  if (named.size() > 1) {
    line.usageError = "one application at a time, not " + std::to_string(named.size()) + " (see marrowfield --help)";
  } else if (!named.empty()) {
    line.application = named.front();
  }
  return line;
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
    result.problem = argument + ": " + os::errorText(errno);
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
