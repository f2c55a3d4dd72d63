#pragma once

#include <span>
#include <string_view>

namespace mf::cli {

// One subcommand of marrowfield-cli. `args` holds the arguments after the
// subcommand's name. The result is the process exit status.
struct Command {
  std::string_view name;
  std::string_view summary;  // one line for the overall usage text
  int (*run)(std::span<char* const> args);
};

// The subcommands, in the order the usage text lists them. Defined in
// main.cpp; a new subcommand adds its entry there and its source file to
// CMakeLists.txt.
std::span<const Command> commands();

int runClassify(std::span<char* const> args);
int runTrace(std::span<char* const> args);

}  // namespace mf::cli
