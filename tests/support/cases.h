// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tables of cases kept in text files beside the tests: one case a line,
// fields apart by tabs, lines starting with '#' and blank lines skipped.
// Inside a field \t, \n, \r, \\ and \xHH stand for their bytes, so any text
// can be written.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace mf::testing {

using Case = std::vector<std::string>;

inline std::vector<Case> readCases(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    Case fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '\t') {
        fields.emplace_back();
      } else if (c != '\\' || i + 1 == line.size()) {
        fields.back() += c;
      } else {
        const char e = line[++i];
        if (e == 'x') {
          fields.back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        }
      }
    }
    cases.push_back(std::move(fields));
  }
  return cases;
}

// A case with a name made of its fields: letters and digits kept, every run
// of anything else one '_', cut to 60 characters, numbered where two would
// be equal. A table's rows become tests of their own
// (INSTANTIATE_TEST_SUITE_P with `caseName`): a failing row shows what it
// is, and runs alone with --gtest_filter='*/NAME'.
struct NamedCase {
  std::string name;
  Case fields;
  friend void PrintTo(const NamedCase& c, std::ostream* out) { *out << c.name; }
};

inline std::vector<NamedCase> readNamedCases(const std::string& path) {
  std::vector<NamedCase> named;
  std::set<std::string> taken;
  for (auto& fields : readCases(path)) {
    std::string name;
    for (const std::string& field : fields) {
      for (const char c : field) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain) name += c;
        else if (!name.empty() && name.back() != '_') name += '_';
      }
      if (!name.empty() && name.back() != '_') name += '_';
    }
    name = name.substr(0, 60);
    while (!name.empty() && name.back() == '_') name.pop_back();
    if (name.empty()) name = "empty";
    std::string unique = name;
    for (int n = 2; !taken.insert(unique).second; ++n) unique = name + "_" + std::to_string(n);
    named.push_back({unique, std::move(fields)});
  }
  return named;
}

inline std::string caseName(const ::testing::TestParamInfo<NamedCase>& info) { return info.param.name; }

// Compares `got` with the golden file at `path`; MARROWFIELD_REGEN_GOLDEN=1
// writes it instead, for review as a diff, and compares nothing: a file
// compared with what was just written into it proves nothing.
inline void expectGolden(const std::string& path, const std::string& got) {
  if (std::getenv("MARROWFIELD_REGEN_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << got;
    GTEST_SKIP() << path << " written: review the diff";
  }
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(got, std::string(std::istreambuf_iterator<char>(in), {})) << path << ": regenerate with MARROWFIELD_REGEN_GOLDEN=1, review the diff";
}

}  // namespace mf::testing
