// SPDX-License-Identifier: GPL-3.0-or-later
// What marrowfield-cli does to log text on its way to a terminal or into
// JSON, and JSON read back: the rows of cases/text.tsv.

#include <gtest/gtest.h>

#include "json_output.h"
#include "support/cases.h"
#include "terminal_text.h"

namespace mf::cli {
namespace {

std::string written(const testing::Case& c) {
  if (c[0] == "terminal") return escapeControlCharacters(c[1]);
  if (c[0] == "indent") return indentContinuationLines(c[1]);
  if (c[0] == "json") return jsonString(c[1]);
  const auto members = readJsonObject(c[1]);
  std::string read = members ? "" : "-";
  for (const auto& [key, value] : members.value_or(std::map<std::string, std::string>{})) read += (read.empty() ? "" : "|") + key + "=" + value;
  return read;
}

class CliText : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(CliText, IsWrittenAsTheRowSays) { EXPECT_EQ(written(GetParam().fields), GetParam().fields.size() > 2 ? GetParam().fields[2] : ""); }

INSTANTIATE_TEST_SUITE_P(Table, CliText, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/text.tsv")),
                         testing::caseName);

}  // namespace
}  // namespace mf::cli
