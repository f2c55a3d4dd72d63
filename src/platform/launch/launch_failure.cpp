// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/launch_failure.h"

#include <cerrno>

#include "platform/system_calls.h"

namespace mf {

namespace {
std::string fileName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

std::string describeResolutionFailure(const std::string& chosenPath, const std::string& reason) {
  return chosenPath + ": " + reason;
}

std::string describeSpawnFailure(const ApplicationTarget& target, int error) {
  const std::string program = target.argv.empty() ? target.path : target.argv.front();
  std::string text = program;
  if (program != target.path) text += " (Exec of " + fileName(target.path) + ")";
  text += ": " + os::errorText(error);
  // A bare name is what PATH did not resolve (resolveApplication puts a
  // found program's full path in its place).
  if (error == ENOENT && program.find('/') == std::string::npos) text += " (not found in PATH)";
  return text;
}

}  // namespace mf
