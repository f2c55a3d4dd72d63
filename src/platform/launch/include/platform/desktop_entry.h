// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mf {

// The [Desktop Entry] group of a launcher file, as far as starting the
// application needs it (Desktop Entry Specification 1.5).
struct DesktopEntry {
  std::string type;
  std::string name;  // Name=, unlocalised: what the chooser calls the entry
  std::vector<std::string> exec;  // Exec= split into argv, field codes removed
  std::optional<std::string> tryExec;
  std::optional<std::string> path;  // working directory
  bool hidden = false;
};

struct DesktopEntryParse {
  std::optional<DesktopEntry> entry;
  std::string error;  // why the text is not a usable entry
};

// Parses the text of a .desktop file. Only the unlocalised keys of the
// [Desktop Entry] group are read.
DesktopEntryParse parseDesktopEntry(std::string_view text);

// Unescapes a string value: \s \n \t \r \\.
std::string unescapeDesktopString(std::string_view value);

// Splits an (already unescaped) Exec value into arguments by the quoting
// rules and drops field codes: %f %F %u %U %i %c %k and the deprecated ones
// go (we launch without files or URLs), %% becomes %. Nothing on failure
// (unterminated quote, lone % at the end, no program).
std::optional<std::vector<std::string>> splitExec(std::string_view exec, std::string* error = nullptr);

}  // namespace mf
