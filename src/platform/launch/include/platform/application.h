// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mf {

// What stands in for an application bundle on Linux: a desktop entry or an
// executable file (ELF, "#!" script, AppImage), resolved for launching.
struct ApplicationTarget {
  enum class Kind { desktopEntry, executable };
  Kind kind = Kind::executable;
  std::string path;        // the chosen file
  std::string identifier;  // desktop-file ID without ".desktop", or canonical path
  std::string name;        // file name without its last extension
  std::vector<std::string> argv;  // argv[0] resolved to a path when found
  std::optional<std::string> workingDirectory;
  // The file whose running processes count as instances of the application;
  // empty when that cannot be told (a shell or interpreter wrapper in Exec).
  std::string instanceExecutable;
};

struct ApplicationResolution {
  std::optional<ApplicationTarget> target;
  int error = 0;       // errno when the file itself could not be read
  std::string reason;  // readable text for any failure
};

ApplicationResolution resolveApplication(const std::string& path);

// For the file chooser: a desktop entry of Type=Application that may be shown
// (not Hidden, TryExec found), or an executable file we may run.
bool isApplication(const std::string& path);

// For the chooser's "Application" column: the Name= of a desktop entry the
// chooser offers, empty for any other file.
std::string desktopEntryName(const std::string& path);

// The same name the core shows: "/a/b/My.Tool.desktop" -> "My.Tool".
std::string applicationName(const std::string& path);

// The desktop-file ID for a file under an XDG applications directory
// ("kde-foo.desktop" for .../applications/kde/foo.desktop); for any other
// file its base name.
std::string desktopFileId(const std::string& path);

// The desktop file for an ID, searched in the XDG applications directories.
std::optional<std::string> findDesktopFile(const std::string& identifier);

// True for programs that only start another (env, shells, interpreters,
// sandbox launchers): their processes say nothing about which app runs.
bool isLauncherProgram(const std::string& path);

// A "#!" script: its processes show the interpreter as /proc/<pid>/exe.
bool isScriptFile(const std::string& path);

}  // namespace mf
