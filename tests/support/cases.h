// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tables of cases kept in text files beside the tests: one case a line,
// fields apart by tabs, lines starting with '#' and blank lines skipped.
// Inside a field \t, \n, \r, \\ and \xHH stand for their bytes, so any text
// can be written.

#include <fstream>
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

}  // namespace mf::testing
