// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-cli trace's arguments (NUL-separated in the input): whatever
// they are, the parse ends with options or one line saying why; every --env
// value becomes exactly the NAME=VALUE it was, with a non-empty NAME free of
// '='; everything after "--" is handed on untouched; and an error quotes the
// argument it is about, never more than one line of ours.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "trace_options.h"

using mf::fuzz::mismatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= input.size(); ++i) {
    if (i == input.size() || input[i] == '\0') {
      words.push_back(input.substr(start, i - start));
      start = i + 1;
    }
  }
  std::vector<const char*> args;
  for (const auto& word : words) args.push_back(word.c_str());

  bool help = false;
  std::string error;
  const auto options = mf::cli::parseTraceOptions(args, help, error);
  if (!options) {
    if (!help && error.rfind("marrowfield-cli trace: ", 0) != 0) mismatch("no reason given", input, error, {});
    return 0;
  }
  if (!error.empty()) mismatch("options and an error", input, error, {});
  if (options->app.empty()) mismatch("options without an APP", input, {}, {});

  // The --env values, in order, as given.
  std::vector<std::string> assignments;
  std::size_t i = 0;
  for (; i < words.size() && words[i] != "--"; ++i) {
    if (words[i] == "--env" && i + 1 < words.size()) assignments.push_back(words[++i]);
    else if ((words[i] == "--search" || words[i] == "--seconds" || words[i] == "--baseline" || words[i] == "--host") &&
             i + 1 < words.size()) {
      ++i;  // a value, even one that reads "--"
    }
  }
  if (assignments.size() != options->environment.size()) mismatch("--env count", input, {}, {});
  for (std::size_t k = 0; k < assignments.size(); ++k) {
    const auto& [name, value] = options->environment[k];
    if (name.empty() || name.find('=') != std::string::npos) mismatch("--env NAME", input, name, assignments[k]);
    if (name + "=" + value != assignments[k]) mismatch("--env round trip", input, name + "=" + value, assignments[k]);
  }
  const std::vector<std::string> after(words.begin() + static_cast<std::ptrdiff_t>(std::min(i + 1, words.size())),
                                       words.end());
  if (options->arguments != after) mismatch("the arguments after --", input, {}, {});
  if (options->seconds && !(*options->seconds > 0)) mismatch("--seconds not positive", input, {}, {});
  return 0;
}
