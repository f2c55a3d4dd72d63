// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <variant>

#include "platform/application.h"
#include "platform/desktop_entry.h"
#include "platform_test_support.h"

namespace mf {
namespace {

using Argv = std::vector<std::string>;
using namespace std::string_literals;

// Exec, or the reason the entry was refused.
std::variant<Argv, std::string> parse(std::string_view text) {
  auto parsed = parseDesktopEntry(text);
  if (!parsed.entry) return parsed.error;
  return parsed.entry->exec;
}

TEST(DesktopEntry, ExecQuotingEscapesFieldCodesAndBrokenEntries) {
  const std::string head = "[Desktop Entry]\nType=Application\nName=X\nExec=";
  const std::pair<std::string, std::variant<Argv, std::string>> cases[] = {
      {head + "foo --new-window %U", Argv{"foo", "--new-window"}},
      {head + "foo %f %F %u %i %c %k %d %D %n %N %v %m", Argv{"foo"}},
      {head + "foo --rate=100%% --file=%f", Argv{"foo", "--rate=100%", "--file="}},
      {head + "\"/opt/My App/bin/app\" --title \"a b\"", Argv{"/opt/My App/bin/app", "--title", "a b"}},
      // Inside quotes \" \` \$ and \\ stand for the character; in the file a
      // literal backslash is written four times (string escape, then quoting).
      {head + R"(app "say \\"hi\\"" "\\$HOME" "back\\\\slash")", Argv{"app", "say \"hi\"", "$HOME", "back\\slash"}},
      // String escapes apply to the value before the quoting rules.
      {head + R"(app "a\sb" c\sd)", Argv{"app", "a b", "c", "d"}},
      // An empty quoted argument stays; field codes in quotes are not expanded.
      {head + R"(app "" "%f")", Argv{"app", "", "%f"}},
      {"[Desktop Entry]\nType = Application\nExec =   app    one\t two  \n", Argv{"app", "one", "two"}},
      // Shell syntax is passed on as plain arguments: nothing runs a shell.
      {head + "app ; `id` $(id) | cat > /tmp/x", Argv{"app", ";", "`id`", "$(id)", "|", "cat", ">", "/tmp/x"}},
      // Keys of other groups and localised keys do not count.
      {"[Desktop Entry]\nType=Application\nExec[de]=evil\nExec=good\n[Desktop Action x]\nExec=other\n", Argv{"good"}},
      // An unknown code goes as a whole character, however many bytes it
      // has: a field code cut after its first byte left an argument that was
      // not UTF-8 (the desktop-entry fuzzer found it).
      {head + "app a%\xC3\xA9" "b %\xE3\xA3\x8E %\xF0\x9F\x98\x80z %f%\xC3\xA9 %%\xC3\xA9", Argv{"app", "ab", "z", "%\xC3\xA9"}},
      {head + "app\r%\xE3\xA3\x8E[\xE3\xA3\x8E\xE3\xA3\x8Er\n\r\r\r\r\f \0\0 %b %%%f\n"s, Argv{"app\r[\xE3\xA3\x8E\xE3\xA3\x8Er"}},
      {head + "app \"unterminated", "invalid Exec: unterminated quote in Exec"s},
      {head + "app %", "invalid Exec: a lone % at the end of Exec"s},
      {head + "%U", "invalid Exec: Exec names no program"s},
      {"[Desktop Entry]\nType=Link\nURL=http://x\n", "the desktop entry is not of Type=Application"s},
      {"[Desktop Entry]\nType=Application\n", "the desktop entry has no Exec"s},
      {"Exec=app\n", "no [Desktop Entry] group"s},
      {head + "app \xff\xfe\n", "the desktop entry is not valid UTF-8"s},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse(text), expected) << text;
}

TEST(DesktopEntry, ApplicationsTheirNamesAndIdentifiersFromFiles) {
  testing::TempDir dir;
  const auto app = dir.write("My.Tool.desktop",
                             "[Desktop Action new]\nName=New Window\n[Desktop Entry]\nType=Application\nName[de]=Werkzeug\n"
                             "Name = My Tool \nName=Second\nExec=sh -c \"exit 0\"\nTryExec=sh\nPath=/tmp\n");
  const auto resolved = resolveApplication(app);
  ASSERT_TRUE(resolved.target) << resolved.reason;
  EXPECT_EQ(resolved.target->name, "My.Tool");
  EXPECT_EQ(resolved.target->workingDirectory, "/tmp");
  EXPECT_EQ(resolved.target->argv.at(0).front(), '/');  // resolved through PATH
  EXPECT_EQ(resolved.target->instanceExecutable, "");   // a shell says nothing about the app
  // The chooser's name for it: the first unlocalised Name= of its own group.
  EXPECT_EQ(desktopEntryName(app), "My Tool");
  const auto script = dir.write("run.sh", "#!/bin/sh\nexit 0\n", true);
  EXPECT_TRUE(isScriptFile(script));
  EXPECT_EQ(desktopEntryName(script), "") << "only desktop entries have a Name=";

  // Executables: ELF and "#!" scripts. What a reader would block on (a FIFO)
  // or read whole (a huge file) is refused at once.
  std::filesystem::create_directory(dir.path() / "folder.desktop");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe.desktop").c_str(), 0644), 0);
  const std::pair<std::filesystem::path, std::string> cases[] = {
      {app, ""},
      {script, ""},
      {testing::demoExecutable(), ""},
      {dir.write("gone.desktop", "[Desktop Entry]\nType=Application\nExec=x\nTryExec=/nonexistent/x\n"),
       "TryExec program not found: /nonexistent/x"},
      {dir.write("hidden.desktop", "[Desktop Entry]\nType=Application\nExec=true\nHidden=true\n"), "-"},
      {dir.write("notes.txt", "hello", true), "-"},       // executable bit but no program inside
      {dir.write("tool", "#!/bin/sh\n", false), "-"},     // a program without the executable bit
      {dir.path(), "-"},
      {dir.path() / "missing.desktop", "No such file or directory"},
      {dir.path() / "folder.desktop", "Is a directory"},
      {dir.path() / "pipe.desktop", "-"},
      {dir.write("huge.desktop", std::string(2 << 20, '#')), "File too large"},
  };
  for (const auto& [path, reason] : cases) {
    EXPECT_EQ(isApplication(path), reason.empty()) << path;
    if (reason != "-") {
      EXPECT_EQ(resolveApplication(path).reason, reason) << path;
    }
  }

  // The workspace's identifier: the entry's name, or the program's canonical path.
  EventLoopMainQueue queue;
  LinuxWorkspace workspace(queue);
  EXPECT_EQ(workspace.bundleIdentifier(script), std::filesystem::canonical(script).string());
  EXPECT_EQ(workspace.bundleIdentifier(app), "My.Tool");
  for (const auto& path : {dir.path() / "notes.txt", dir.path() / "missing.desktop", dir.path() / "missing"}) {
    EXPECT_EQ(workspace.bundleIdentifier(path), "") << path;
  }
}

TEST(DesktopEntry, DesktopFileIdFollowsTheXdgApplicationsDirectories) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "share/applications/kde");
  const auto nested = dir.write("share/applications/kde/foo.desktop", "[Desktop Entry]\nType=Application\nExec=true\n");
  ::setenv("XDG_DATA_DIRS", (dir.path() / "share").c_str(), 1);
  EXPECT_EQ(desktopFileId(nested), "kde-foo.desktop");
  EXPECT_EQ(findDesktopFile("kde-foo"), nested.string());
  ::unsetenv("XDG_DATA_DIRS");
  EXPECT_EQ(desktopFileId(nested), "foo.desktop");
}

}  // namespace
}  // namespace mf
