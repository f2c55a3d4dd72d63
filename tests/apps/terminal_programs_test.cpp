// SPDX-License-Identifier: GPL-3.0-or-later
// Programs from Debian that change what they print when their stdout is a
// terminal: ls lays its names out in columns as wide as the terminal and
// colours them, grep colours its matches. In a trace they are on a terminal
// (so their stdio flushes every line), and what they print must read as the
// text a person would see on one, without the escape sequences around it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>

#include "journal_fixture.h"
#include "platform_test_support.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

struct TerminalProgram {
  const char* program;
  const char* args;  // %D is the test's folder
  const char* line;  // as it reads on a terminal
};

void PrintTo(const TerminalProgram& program, std::ostream* out) { *out << program.program << " " << program.args; }

class TerminalPrograms : public ::testing::TestWithParam<TerminalProgram> {};

TEST_P(TerminalPrograms, PrintAsOnATerminalAndReadAsPlainText) {
  testing::TempDir dir;
  const auto folder = dir.path() / "listing";
  std::filesystem::create_directories(folder / "alpha-dir");
  std::ofstream(folder / "bravo-file") << "first line\nalpha needle omega\nlast line\n";
  std::filesystem::copy_file("/bin/true", folder / "charlie-exec");
  std::string args = GetParam().args;
  args.replace(args.find("%D"), 2, folder.string());

  testing::Window window;
  const std::string name = "org.marrowfield.Terminal" + testing::randomSuffix();
  window.choose(testing::writeDemoDesktopEntry(dir, name, GetParam().program, args).string());
  window.view.setFreshLaunch(false);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); })) << window.dump();

  const auto line = window.find(GetParam().line);
  ASSERT_TRUE(line.has_value()) << window.dump();
  EXPECT_EQ(line->message, GetParam().line) << window.dump();
  EXPECT_EQ(line->origin, LineOrigin::standardOutput);
  const EventList& events = window.view.events();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::string_view message = events[i].message;
    EXPECT_EQ(message.find('\x1b'), std::string_view::npos) << message;
    EXPECT_EQ(message.find("[0m"), std::string_view::npos) << message;
  }
}

// Columns side by side (not one name a line, as into a pipe) show that ls
// saw a terminal and its width.
INSTANTIATE_TEST_SUITE_P(
    FromDebian, TerminalPrograms,
    ::testing::Values(TerminalProgram{"/bin/ls", "--color=auto -C %D", "alpha-dir  bravo-file  charlie-exec"},
                      TerminalProgram{"/bin/grep", "--color=auto needle %D/bravo-file", "alpha needle omega"}),
    [](const auto& info) { return std::string(std::filesystem::path(info.param.program).filename()); });

}  // namespace
}  // namespace mf
