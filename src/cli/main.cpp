// marrowfield-cli: the command-line companion of the window.
//   marrowfield-cli COMMAND [ARGS...]

#include <cstdio>
#include <cstring>
#include <string_view>

#include "commands.h"

namespace mf::cli {

std::span<const Command> commands() {
  static const Command table[] = {
      {"classify", "classify log lines from files or standard input as a trace would", runClassify},
      {"trace", "launch an application and trace it, as \"Launch & Trace\" does", runTrace},
  };
  return table;
}

}  // namespace mf::cli

namespace {

void printUsage(std::FILE* to) {
  std::fputs("usage: marrowfield-cli COMMAND [ARGS...]\n\ncommands:\n", to);
  for (const auto& command : mf::cli::commands()) {
    std::fprintf(to, "  %-10.*s %.*s\n", static_cast<int>(command.name.size()), command.name.data(),
                 static_cast<int>(command.summary.size()), command.summary.data());
  }
  std::fputs("\n'marrowfield-cli COMMAND --help' describes a command.\n", to);
}

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
  for (const auto& command : mf::cli::commands()) {
    if (command.name == name) return command.run(std::span<char* const>(argv + 2, static_cast<std::size_t>(argc - 2)));
  }
  std::fprintf(stderr, "marrowfield-cli: unknown command '%s'\n\n", argv[1]);
  printUsage(stderr);
  return 2;
}
