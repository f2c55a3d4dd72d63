// SPDX-License-Identifier: GPL-3.0-or-later
// What "Launch failed: " is followed by: the system's reason and the file or
// program it is about.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "platform/launch_failure.h"

namespace mf {
namespace {

ApplicationTarget target(std::string path, std::vector<std::string> argv) {
  ApplicationTarget t;
  t.path = std::move(path);
  t.argv = std::move(argv);
  return t;
}

TEST(LaunchFailure, NamesTheProgramOrFileThatFailed) {
  const struct {
    ApplicationTarget target;
    int error;
    const char* expected;
  } cases[] = {
      {target("/opt/demo/demo", {"/opt/demo/demo"}), EACCES, "/opt/demo/demo: Permission denied"},
      {target("/opt/demo/demo", {"/opt/demo/demo"}), ENOEXEC, "/opt/demo/demo: Exec format error"},
      {target("/opt/demo/Demo.desktop", {"/usr/bin/demo"}), ENOENT,
       "/usr/bin/demo (Exec of Demo.desktop): No such file or directory"},
      {target("/opt/demo/Demo.desktop", {"demo-gone", "--flag"}), ENOENT,
       "demo-gone (Exec of Demo.desktop): No such file or directory (not found in PATH)"},
      {target("/opt/demo/Demo.desktop", {"demo-locked"}), EACCES,
       "demo-locked (Exec of Demo.desktop): Permission denied"},
  };
  for (const auto& c : cases) EXPECT_EQ(describeSpawnFailure(c.target, c.error), c.expected);
  EXPECT_EQ(describeResolutionFailure("/tmp/gone.desktop", "No such file or directory"),
            "/tmp/gone.desktop: No such file or directory");
}

TEST(LaunchFailure, ADesktopEntryWhoseProgramIsNowhereSaysSo) {
  const auto dir = std::filesystem::temp_directory_path() / ("mf-launch-failure-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto entry = dir / "Gone.desktop";
  std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Gone\nExec=marrowfield-no-such-program %U\n";
  const auto resolved = resolveApplication(entry.string());
  ASSERT_TRUE(resolved.target) << resolved.reason;
  EXPECT_EQ(describeSpawnFailure(*resolved.target, ENOENT),
            "marrowfield-no-such-program (Exec of Gone.desktop): No such file or directory (not found in PATH)");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mf
