// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "trace/services.h"

namespace mf::app {

// Why the window could not open on the display the environment names, as one
// sentence for stderr, or nothing when one answers (or the user chose the Qt
// platform, which we then leave to Qt). Asked before Qt starts: Qt's own
// answer to a missing or stale display is an abort advising a reinstall.
std::optional<std::string> displayProblem();

// The input method to give Qt instead of the compositor's, or nothing to
// leave Qt's choice alone. Qt 6.4's Wayland input context reaches the
// compositor's text input through the first seat without checking there is
// one: a compositor that offers text input but no seat (weston's desktop
// shell, which starts its input-method helper, on a machine with no input
// devices) kills the program as soon as a line edit draws its cursor.
// With no seat there is no keyboard for an input method to serve, so Qt's
// own compose input is all that is lost. `platform` is the -platform
// argument, if any. Asked before Qt starts, as Qt reads it once.
std::optional<std::string> inputMethodOverride(const std::string& platform);

// Which input method Qt 6.4 may be given, from the compositor's globals
// (interface names) and the input method the user asked for (QT_IM_MODULE).
bool waylandTextInputWithoutSeat(const std::vector<std::string>& globals, const std::string& requested);

// The options answered before Qt starts, so they work without a display:
// the first of --help/-h and --version, and whether -platform was given
// (its value, empty when it had none). Other options are Qt's own.
struct EarlyOptions {
  enum class Answer { none, help, version };
  Answer answer = Answer::none;
  bool platformChosen = false;
  std::string platform;
};
EarlyOptions parseEarlyOptions(const std::vector<std::string>& arguments);

// What is left once Qt took its own options out, as the bytes the file was
// named with: at most one application; "--" ends the options, for a file
// whose name starts with "-". `usageError` is the sentence for stderr (exit
// status 2), empty when the line is good.
struct CommandLine {
  std::optional<std::string> application;
  std::string usageError;
};
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The application named on the command line, as the window will trace it.
struct ApplicationArgument {
  std::string path;     // absolute, symbolic links kept (argv[0] of the launch)
  std::string problem;  // why it cannot be traced; empty when it can
};
ApplicationArgument applicationArgument(const std::string& argument);

// Answers the first request with the application given on the command line,
// so it is chosen exactly as through the chooser; every later one goes to
// the chooser itself.
class CommandLineChoice final : public OpenPanel {
 public:
  CommandLineChoice(OpenPanel& chooser, std::optional<std::string> application)
      : chooser_(chooser), pending_(std::move(application)) {}
  std::optional<std::string> run(const OpenPanelConfiguration& configuration) override;
  bool hasPending() const { return pending_.has_value(); }

 private:
  OpenPanel& chooser_;
  std::optional<std::string> pending_;
};

}  // namespace mf::app
