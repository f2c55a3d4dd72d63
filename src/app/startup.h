// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

#include "trace/services.h"

namespace mf::app {

// Why the window could not open on the display the environment names, as one
// sentence for stderr, or nothing when one answers (or the user chose the Qt
// platform, which we then leave to Qt). Asked before Qt starts: Qt's own
// answer to a missing or stale display is an abort advising a reinstall.
std::optional<std::string> displayProblem();

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
