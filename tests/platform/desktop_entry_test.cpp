// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/application.h"
#include "platform/desktop_entry.h"
#include "platform/linux_workspace.h"
#include "platform/event_loop_main_queue.h"
#include "platform_test_support.h"

namespace mf {
namespace {

using Argv = std::vector<std::string>;

std::optional<Argv> execOf(std::string_view text) {
  auto parsed = parseDesktopEntry(text);
  if (!parsed.entry) return std::nullopt;
  return parsed.entry->exec;
}

std::string entryWithExec(std::string_view exec) {
  return "[Desktop Entry]\nType=Application\nName=X\nExec=" + std::string(exec) + "\n";
}

TEST(DesktopEntry, ExecQuotingEscapesAndFieldCodes) {
  EXPECT_EQ(execOf(entryWithExec("foo --new-window %U")), (Argv{"foo", "--new-window"}));
  EXPECT_EQ(execOf(entryWithExec("foo %f %F %u %i %c %k %d %D %n %N %v %m")), (Argv{"foo"}));
  EXPECT_EQ(execOf(entryWithExec("foo --rate=100%% --file=%f")), (Argv{"foo", "--rate=100%", "--file="}));
  EXPECT_EQ(execOf(entryWithExec("\"/opt/My App/bin/app\" --title \"a b\"")),
            (Argv{"/opt/My App/bin/app", "--title", "a b"}));
  // Inside quotes \" \` \$ and \\ stand for the character; in the file a
  // literal backslash is written four times (string escape, then quoting).
  EXPECT_EQ(execOf(entryWithExec(R"(app "say \\"hi\\"" "\\$HOME" "back\\\\slash")")),
            (Argv{"app", "say \"hi\"", "$HOME", "back\\slash"}));
  // String escapes apply to the value before the quoting rules.
  EXPECT_EQ(execOf(entryWithExec(R"(app "a\sb" c\sd)")), (Argv{"app", "a b", "c", "d"}));
  // An empty quoted argument stays; field codes in quotes are not expanded.
  EXPECT_EQ(execOf(entryWithExec(R"(app "" "%f")")), (Argv{"app", "", "%f"}));
  // Spaces around '=' and runs of blanks between arguments.
  EXPECT_EQ(execOf("[Desktop Entry]\nType = Application\nExec =   app    one\t two  \n"), (Argv{"app", "one", "two"}));
}

TEST(DesktopEntry, HostileOrBrokenEntriesAreRejectedWithAReason) {
  auto reasonOf = [](std::string_view text) { return parseDesktopEntry(text).error; };
  EXPECT_EQ(reasonOf(entryWithExec("app \"unterminated")), "invalid Exec: unterminated quote in Exec");
  EXPECT_EQ(reasonOf(entryWithExec("app %")), "invalid Exec: a lone % at the end of Exec");
  EXPECT_EQ(reasonOf(entryWithExec("%U")), "invalid Exec: Exec names no program");
  EXPECT_EQ(reasonOf("[Desktop Entry]\nType=Link\nURL=http://x\n"), "the desktop entry is not of Type=Application");
  EXPECT_EQ(reasonOf("[Desktop Entry]\nType=Application\n"), "the desktop entry has no Exec");
  EXPECT_EQ(reasonOf("Exec=app\n"), "no [Desktop Entry] group");
  EXPECT_EQ(reasonOf(std::string("[Desktop Entry]\nType=Application\nExec=app \xff\xfe\n")),
            "the desktop entry is not valid UTF-8");
  // Shell syntax is passed on as plain arguments: nothing runs a shell.
  EXPECT_EQ(execOf(entryWithExec("app ; rm -rf / `id` $(id) | cat > /tmp/x")),
            (Argv{"app", ";", "rm", "-rf", "/", "`id`", "$(id)", "|", "cat", ">", "/tmp/x"}));
  // Keys of other groups and localised keys do not count.
  EXPECT_EQ(execOf("[Desktop Entry]\nType=Application\nExec[de]=evil\nExec=good\n[Desktop Action x]\nExec=other\n"),
            (Argv{"good"}));
}

TEST(DesktopEntry, ResolvesTryExecPathAndIdentifierFromFiles) {
  testing::TempDir dir;
  const auto app = dir.write("My.Tool.desktop",
                             "[Desktop Action new]\nName=New Window\n[Desktop Entry]\nType=Application\nName[de]=Werkzeug\n"
                             "Name = My Tool \nName=Second\nExec=sh -c \"exit 0\"\nTryExec=sh\nPath=/tmp\n");
  auto resolved = resolveApplication(app);
  ASSERT_TRUE(resolved.target) << resolved.reason;
  EXPECT_EQ(resolved.target->identifier, "My.Tool");
  EXPECT_EQ(resolved.target->name, "My.Tool");
  EXPECT_EQ(resolved.target->workingDirectory, "/tmp");
  EXPECT_EQ(resolved.target->argv.at(0).front(), '/');  // resolved through PATH
  EXPECT_EQ(resolved.target->instanceExecutable, "");   // a shell says nothing about the app
  EXPECT_TRUE(isApplication(app));
  // The chooser's name for it: the first unlocalised Name= of its own group.
  EXPECT_EQ(desktopEntryName(app), "My Tool");

  const auto missingTry = dir.write("gone.desktop", "[Desktop Entry]\nType=Application\nExec=x\nTryExec=/nonexistent/x\n");
  EXPECT_FALSE(isApplication(missingTry));
  EXPECT_EQ(resolveApplication(missingTry).reason, "TryExec program not found: /nonexistent/x");
  const auto hidden = dir.write("hidden.desktop", "[Desktop Entry]\nType=Application\nExec=true\nHidden=true\n");
  EXPECT_FALSE(isApplication(hidden));

  // Executables: ELF and "#!" scripts; identifier is the canonical path.
  const auto script = dir.write("run.sh", "#!/bin/sh\nexit 0\n", true);
  EXPECT_TRUE(isApplication(script));
  EXPECT_TRUE(isApplication(testing::demoExecutable()));
  EXPECT_TRUE(isScriptFile(script));
  EXPECT_EQ(desktopEntryName(script), "") << "only desktop entries have a Name=";
  const auto text = dir.write("notes.txt", "hello", true);
  const auto plain = dir.write("tool", "#!/bin/sh\n", false);
  EXPECT_FALSE(isApplication(text));   // executable bit but no program inside
  EXPECT_FALSE(isApplication(plain));  // a program without the executable bit
  EXPECT_FALSE(isApplication(dir.path()));
  EXPECT_FALSE(isApplication(dir.path() / "missing.desktop"));

  EventLoopMainQueue queue;
  LinuxWorkspace workspace(queue);
  EXPECT_EQ(workspace.bundleIdentifier(script), std::filesystem::canonical(script).string());
  EXPECT_EQ(workspace.bundleIdentifier(app), "My.Tool");
  EXPECT_EQ(workspace.bundleIdentifier(text), "");
  EXPECT_EQ(workspace.bundleIdentifier(dir.path() / "missing.desktop"), "");
  EXPECT_EQ(workspace.bundleIdentifier(dir.path() / "missing"), "");
}

TEST(DesktopEntry, DesktopFileIdFollowsTheXdgApplicationsDirectories) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "share/applications/kde");
  const auto nested = dir.write("share/applications/kde/foo.desktop", entryWithExec("true"));
  ::setenv("XDG_DATA_DIRS", (dir.path() / "share").c_str(), 1);
  EXPECT_EQ(desktopFileId(nested), "kde-foo.desktop");
  EXPECT_EQ(findDesktopFile("kde-foo"), nested.string());
  ::unsetenv("XDG_DATA_DIRS");
  EXPECT_EQ(desktopFileId(nested), "foo.desktop");
}

TEST(DesktopEntry, UnreadableOrOddFilesAreNotApplications) {
  testing::TempDir dir;
  const auto missing = resolveApplication(dir.path() / "missing.desktop");
  EXPECT_EQ(missing.reason, "No such file or directory");
  std::filesystem::create_directory(dir.path() / "folder.desktop");
  EXPECT_EQ(resolveApplication(dir.path() / "folder.desktop").reason, "Is a directory");
  EXPECT_FALSE(isApplication(dir.path() / "folder.desktop"));
  // A FIFO would block a reader forever; it is refused at once.
  const auto fifo = dir.path() / "pipe.desktop";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(isApplication(fifo));
  // Huge files are refused, not read whole.
  const auto huge = dir.write("huge.desktop", std::string(2 << 20, '#'));
  EXPECT_EQ(resolveApplication(huge).reason, "File too large");
}

}  // namespace
}  // namespace mf
