// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mf::bench {

struct CorpusMix {
  // Shares out of 100; the rest is compact unified-log style lines.
  int journalLines = 30;
  int nonAsciiLines = 5;
  int longLines = 1;  // 1 to 4 KiB
};

// A deterministic synthetic log: the same seed gives the same lines. Lines
// average about 125 bytes and mix app-authored entries, framework chatter,
// warnings, errors, permission, crash and file lines as a chatty target
// produces them.
class CorpusGenerator {
 public:
  explicit CorpusGenerator(std::uint64_t seed, CorpusMix mix = {});
  std::string nextLine();
  std::vector<std::string> lines(std::size_t count);
  // `count` lines joined with "\n", with a final "\n".
  std::string text(std::size_t count);

 private:
  std::uint64_t next();
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(next() % n); }

  std::uint64_t state_;
  CorpusMix mix_;
  std::uint64_t counter_ = 0;
};

}  // namespace mf::bench
