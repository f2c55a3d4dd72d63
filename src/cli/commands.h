// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <span>
#include <string_view>

namespace mf::cli {

// One subcommand of marrowfield-cli. `args` holds the arguments after the
// subcommand's name. The result is the process exit status.
struct Command {
  std::string_view name;
  int (*run)(std::span<char* const> args);
};

// The subcommands. Defined in main.cpp; a new subcommand adds its entry
// there, its source file to CMakeLists.txt and its help text to
// dist/man/marrowfield-cli.help (which is also the manual page).
std::span<const Command> commands();

int runClassify(std::span<char* const> args);
int runTrace(std::span<char* const> args);

}  // namespace mf::cli
