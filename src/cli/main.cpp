// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-cli: the command-line companion of the window.
//   marrowfield-cli COMMAND [ARGS...]

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "commands.h"
#include "help_text.h"
#include "terminal_text.h"

namespace mf::cli {

std::span<const Command> commands() {
  static const Command table[] = {
      {"classify", runClassify},
      {"trace", runTrace},
  };
  return table;
}

}  // namespace mf::cli

namespace {

void printUsage(std::FILE* to) { std::fputs(mf::help::kMain, to); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage(stderr);
    return 2;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printUsage(stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("marrowfield-cli %s\n", mf::help::kVersion);
    return 0;
  }
  for (const auto& command : mf::cli::commands()) {
    if (command.name == name) return command.run(std::span<char* const>(argv + 2, static_cast<std::size_t>(argc - 2)));
  }
  mf::cli::printError("marrowfield-cli: unknown command '" + std::string(name) + "'");
  std::fputc('\n', stderr);
  printUsage(stderr);
  return 2;
}
