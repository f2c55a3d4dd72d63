// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a deterministic synthetic log to standard output:
//   marrowfield-gen-corpus LINES [SEED]
// e.g. 8,000,000 lines make about 1 GB for `marrowfield-cli classify`.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "corpus.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: marrowfield-gen-corpus LINES [SEED]\n");
    return 2;
  }
  const unsigned long long count = std::strtoull(argv[1], nullptr, 10);
  const unsigned long long seed = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1;
  mf::bench::CorpusGenerator generator(seed);
  std::string buffer;
  for (unsigned long long i = 0; i < count; ++i) {
    buffer += generator.nextLine();
    buffer += '\n';
    if (buffer.size() > (1u << 20)) {
      std::fwrite(buffer.data(), 1, buffer.size(), stdout);
      buffer.clear();
    }
  }
  std::fwrite(buffer.data(), 1, buffer.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
