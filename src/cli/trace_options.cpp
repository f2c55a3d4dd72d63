// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace_options.h"

#include <cstdlib>
#include <string_view>

namespace mf::cli {
namespace {

// A name a shell would take: anything else (a line feed, an escape) would
// give the target variables nobody asked for, or names no program reads.
bool isVariableName(std::string_view name) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (name.empty() || !letter(name.front())) return false;
  for (const char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace

std::optional<TraceOptions> parseTraceOptions(std::span<const char* const> args, bool& helpRequested,
                                             std::string& error) {
  TraceOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string arg = args[i];
    auto value = [&]() -> const char* {
      if (i + 1 < args.size()) return args[++i];
      error = "marrowfield-cli trace: " + arg + " needs a value";
      return nullptr;
    };
    if (arg == "--") {
      for (++i; i < args.size(); ++i) options.arguments.emplace_back(args[i]);
      break;
    } else if (arg == "-h" || arg == "--help") {
      helpRequested = true;
      return std::nullopt;
    } else if (arg == "--raw") {
      options.showRawLog = true;
    } else if (arg == "--no-fresh-launch") {
      options.freshLaunch = false;
    } else if (arg == "--no-qt-levels") {
      options.qtLevelPrefix = false;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--until-stdin-closes") {
      options.untilStdinCloses = true;
    } else if (arg == "--host") {
      const char* host = value();
      if (!host) return std::nullopt;
      // Never an option of ssh's ("-oProxyCommand=..."), nor nothing.
      if (*host == '\0' || *host == '-') {
        error = "marrowfield-cli trace: --host needs [USER@]HOST, not '" + std::string(host) + "'";
        return std::nullopt;
      }
      options.host = host;
    } else if (arg == "--baseline") {
      const char* file = value();
      if (!file) return std::nullopt;
      options.baseline = file;
    } else if (arg == "--search") {
      const char* text = value();
      if (!text) return std::nullopt;
      options.searchText = text;
    } else if (arg == "--env") {
      const char* text = value();
      if (!text) return std::nullopt;
      const std::string assignment = text;
      const auto equals = assignment.find('=');
      if (equals == std::string::npos || !isVariableName(std::string_view(assignment).substr(0, equals))) {
        error = "marrowfield-cli trace: --env needs NAME=VALUE with a NAME of letters, digits and '_', not '" +
                assignment + "'";
        return std::nullopt;
      }
      options.environment.emplace_back(assignment.substr(0, equals), assignment.substr(equals + 1));
    } else if (arg == "--seconds") {
      const char* text = value();
      if (!text) return std::nullopt;
      char* end = nullptr;
      const double seconds = std::strtod(text, &end);
      if (end == text || *end != '\0' || !(seconds > 0)) {
        error = "marrowfield-cli trace: --seconds needs a positive number, not '" + std::string(text) + "'";
        return std::nullopt;
      }
      options.seconds = seconds;
    } else if (arg.size() > 1 && arg.front() == '-' && arg != "-") {
      error = "marrowfield-cli trace: unknown option '" + arg + "'";
      return std::nullopt;
    } else if (options.app.empty()) {
      options.app = arg;
    } else {
      error = "marrowfield-cli trace: only one APP, not also '" + arg + "'";
      return std::nullopt;
    }
  }
  if (options.app.empty()) {
    error = "marrowfield-cli trace: which APP?";
    return std::nullopt;
  }
  return options;
}

}  // namespace mf::cli
