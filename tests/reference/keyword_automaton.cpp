// SPDX-License-Identifier: GPL-3.0-or-later
// The keyword scan as one Aho-Corasick automaton over every table: a second,
// independent matcher that the fast scan in keyword_matcher.cpp is held to.

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"
#include "reference/reference_rules.h"

namespace mf::reference {
namespace {

// An Aho-Corasick automaton over every table at once, compiled to a dense
// transition table. Bytes that occur in no entry share one class, which keeps
// the table small enough for the L1/L2 caches. Entries are ASCII and so is
// the part of UTF-8 they can match, so the automaton runs on raw UTF-8 bytes.
class Automaton {
 public:
  Automaton() {
    std::array<bool, 256> used{};
    forEachEntry([&](std::string_view entry, std::uint32_t) {
      for (unsigned char c : entry) used[c] = true;
    });
    classes_ = 1;
    for (int b = 0; b < 256; ++b) byteClass_[b] = used[b] ? static_cast<std::uint8_t>(classes_++) : 0;

    // Trie.
    std::vector<std::vector<std::int32_t>> next;
    std::vector<std::uint32_t> output;
    next.emplace_back(classes_, -1);
    output.push_back(0);
    forEachEntry([&](std::string_view entry, std::uint32_t bit) {
      std::size_t state = 0;
      for (unsigned char c : entry) {
        const auto cls = byteClass_[c];
        if (next[state][cls] < 0) {
          next[state][cls] = static_cast<std::int32_t>(next.size());
          next.emplace_back(classes_, -1);
          output.push_back(0);
        }
        state = static_cast<std::size_t>(next[state][cls]);
      }
      output[state] |= bit;
    });

    // Failure links, breadth first, folded straight into a full DFA.
    const std::size_t states = next.size();
    std::vector<std::int32_t> fail(states, 0);
    std::deque<std::size_t> queue;
    for (std::size_t cls = 0; cls < classes_; ++cls) {
      if (next[0][cls] < 0) {
        next[0][cls] = 0;
      } else {
        fail[static_cast<std::size_t>(next[0][cls])] = 0;
        queue.push_back(static_cast<std::size_t>(next[0][cls]));
      }
    }
    while (!queue.empty()) {
      const std::size_t state = queue.front();
      queue.pop_front();
      output[state] |= output[static_cast<std::size_t>(fail[state])];
      for (std::size_t cls = 0; cls < classes_; ++cls) {
        const std::int32_t child = next[state][cls];
        const std::int32_t viaFail = next[static_cast<std::size_t>(fail[state])][cls];
        if (child < 0) {
          next[state][cls] = viaFail;
        } else {
          fail[static_cast<std::size_t>(child)] = viaFail;
          queue.push_back(static_cast<std::size_t>(child));
        }
      }
    }

    // Each entry is the target's row start (pre-multiplied, so the scan needs
    // no multiply) with the top bit set when the target reports hits.
    delta_.resize(states * classes_);
    for (std::size_t s = 0; s < states; ++s) {
      for (std::size_t cls = 0; cls < classes_; ++cls) {
        const auto target = static_cast<std::size_t>(next[s][cls]);
        std::uint32_t entry = static_cast<std::uint32_t>(target * classes_);
        if (output[target] != 0) entry |= kHasOutput;
        delta_[s * classes_ + cls] = entry;
      }
    }
    output_ = std::move(output);
  }

  std::uint32_t scan(std::string_view text) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint32_t row = 0;
    std::uint32_t hits = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t entry = delta_[row + byteClass_[bytes[i]]];
      row = entry & ~kHasOutput;
      if ((entry & kHasOutput) != 0) [[unlikely]] {
        const std::uint32_t out = output_[row / classes_];
        hits |= out & ~(hitErrorWord | hitFaultWord);
        if ((out & (hitErrorWord | hitFaultWord)) != 0 && isWholeWord(text, i + 1 - tables::errorWord.size(), i + 1)) {
          hits |= out & (hitErrorWord | hitFaultWord);
        }
      }
    }
    return hits;
  }

 private:
  template <typename F>
  static void forEachEntry(F&& f) {
    auto each = [&](std::span<const std::string_view> table, std::uint32_t bit) {
      for (auto entry : table) f(entry, bit);
    };
    each(tables::errorMarkers, hitError);
    each(tables::warningMarkers, hitWarning);
    each(tables::permissionMarkers, hitPermission);
    each(tables::crashMarkers, hitCrash);
    each(tables::fileMarkers, hitFile);
    each(tables::headerMarkers, hitHeader);
    each(tables::preferenceMarkers, hitPreference);
    each(tables::subsystemMarkers, hitSubsystem);
    each(tables::frameworkMarkers, hitFramework);
    f(tables::errorWord, hitErrorWord);
    f(tables::faultWord, hitFaultWord);
  }
  static_assert(tables::errorWord.size() == tables::faultWord.size());

  static constexpr std::uint32_t kHasOutput = 1u << 31;

  std::uint32_t classes_ = 0;
  std::array<std::uint8_t, 256> byteClass_{};
  std::vector<std::uint32_t> delta_;
  std::vector<std::uint32_t> output_;  // by state
};

const Automaton& automaton() {
  static const Automaton instance;
  return instance;
}

}  // namespace

std::uint32_t scanKeywordsWithAutomaton(std::string_view normalized) {
  return automaton().scan(normalized) | privacyHits(normalized);
}

}  // namespace mf::reference
