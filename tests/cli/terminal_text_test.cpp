// SPDX-License-Identifier: GPL-3.0-or-later
// What marrowfield-cli does to log text on its way to a terminal or into
// JSON: the rows of cases/text.tsv.

#include <gtest/gtest.h>

#include "json_output.h"
#include "support/cases.h"
#include "terminal_text.h"

namespace mf::cli {
namespace {

class CliText : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(CliText, IsWrittenAsTheRowSays) {
  const auto& c = GetParam().fields;
  const std::string written = c[0] == "terminal" ? escapeControlCharacters(c[1])
                              : c[0] == "indent" ? indentContinuationLines(c[1])
                                                 : jsonString(c[1]);
  EXPECT_EQ(written, c[2]);
}

INSTANTIATE_TEST_SUITE_P(Table, CliText, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/text.tsv")),
                         testing::caseName);

}  // namespace
}  // namespace mf::cli
