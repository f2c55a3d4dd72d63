// SPDX-License-Identifier: GPL-3.0-or-later
// splitExec took a field code as "%" plus one byte. When the byte after "%"
// began a multi-byte character, the rest of that character stayed in the
// argument: "a%\xC3\xA9b" gave "a\xA9b", no longer UTF-8, and the program
// would have been started with a corrupted argument (fuzz_desktop_entry: a
// written-back entry was refused as not UTF-8). An unknown code now goes as
// a whole character.

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop_entry.h"
#include "text/utf8.h"

namespace mf {
namespace {

TEST(ExecFieldCodeCutsCharacter, AnUnknownNonAsciiCodeGoesWhole) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(splitExec("app a%\xC3\xA9" "b"), (Args{"app", "ab"}));        // two bytes
  EXPECT_EQ(splitExec("app %\xE3\xA3\x8E x"), (Args{"app", "x"}));         // three, alone: the argument goes
  EXPECT_EQ(splitExec("app %\xF0\x9F\x98\x80" "z"), (Args{"app", "z"}));   // four
  EXPECT_EQ(splitExec("app %f%\xC3\xA9 %%\xC3\xA9"), (Args{"app", "%\xC3\xA9"}));
}

TEST(ExecFieldCodeCutsCharacter, TheFileTheFuzzerFoundGivesWholeCharacters) {
  using namespace std::string_view_literals;  // the file holds NUL bytes
  const DesktopEntryParse parsed = parseDesktopEntry(
      "[Desktop Entry]\nType=Application\n"
      "Exec=app\r%\xE3\xA3\x8E[\xE3\xA3\x8E\xE3\xA3\x8Er\n\r\r\r\r\f \0\0 %b %%%f\n"sv);
  ASSERT_TRUE(parsed.entry) << parsed.error;
  for (const std::string& arg : parsed.entry->exec) EXPECT_TRUE(isValidUtf8(arg)) << arg;
  EXPECT_EQ(parsed.entry->exec.front(), "app\r[\xE3\xA3\x8E\xE3\xA3\x8Er");
}

}  // namespace
}  // namespace mf
