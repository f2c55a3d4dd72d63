// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/keyword_matcher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "analysis/keyword_tables.h"
#include "text/unicode_text.h"

namespace mf {
namespace {

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lowerCase) {
  for (std::size_t k = 0; k < lowerCase.size(); ++k) {
    const auto c = static_cast<unsigned char>(text[k]);
    if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != static_cast<unsigned char>(lowerCase[k])) return false;
  }
  return true;
}

bool isAsciiWordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool isWholeWord(std::string_view text, std::size_t begin, std::size_t end) {
  if (begin > 0) {
    const auto before = static_cast<unsigned char>(text[begin - 1]);
    if (before < 0x80) {
      if (isAsciiWordByte(before)) return false;
    } else {
      std::size_t i = begin;
      if (text::isWordChar(text::previousCodePoint(text, i))) return false;
    }
  }
  if (end < text.size()) {
    const auto after = static_cast<unsigned char>(text[end]);
    if (after < 0x80) {
      if (isAsciiWordByte(after)) return false;
    } else {
      std::size_t i = end;
      if (text::isWordChar(text::nextCodePoint(text, i))) return false;
    }
  }
  return true;
}

std::uint32_t privacyHits(std::string_view normalized) {
  if (normalized.empty()) return 0;
  for (auto prefix : tables::privacyPrefixes) {
    if (normalized.starts_with(prefix)) return hitPrivacyPrefix;
  }
  return 0;
}

namespace {

// The scan used on every line: a filter on 4-byte grams, then a full
// compare at the few places the filter lets through.
//
// Every entry is at least 5 bytes long, so an entry starting at position p
// covers a whole gram at the even position p or p + 1. Grams are therefore
// taken at even positions only, and each entry is filed under two grams (its
// bytes [0,4) and [1,5)). A gram is hashed into a 64 Ki-bit set (8 KiB, at
// home in L1); a position costs a load, a multiply and a bit test, and
// positions do not depend on each other, unlike the automaton's chain of
// state lookups.
//
// Grams and entries are compared with ASCII upper case folded to lower case,
// so the scan also runs straight on a line that is already in normal form
// apart from letter case (see LineClassifier::classify).
class GramFilter {
 public:
  GramFilter() {
    auto add = [&](std::span<const std::string_view> table, std::uint32_t bit) {
      for (auto e : table) addEntry(e, bit);
    };
    add(tables::errorMarkers, hitError);
    add(tables::warningMarkers, hitWarning);
    add(tables::permissionMarkers, hitPermission);
    add(tables::crashMarkers, hitCrash);
    add(tables::fileMarkers, hitFile);
    add(tables::headerMarkers, hitHeader);
    add(tables::preferenceMarkers, hitPreference);
    add(tables::subsystemMarkers, hitSubsystem);
    add(tables::frameworkMarkers, hitFramework);
    addEntry(tables::errorWord, hitErrorWord);
    addEntry(tables::faultWord, hitFaultWord);
    std::sort(filed_.begin(), filed_.end(), [](const Filed& a, const Filed& b) { return a.hash < b.hash; });
    for (int c = 0; c < 256; ++c) lower_[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }

  std::uint32_t scan(std::string_view text) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint32_t hits = 0;
    if (n < kMinEntry) return 0;
    for (std::size_t j = 0; j + 4 <= n; j += 2) {
      const std::uint32_t h = hashOf(load(bytes + j));
      if ((set_[h >> 6] >> (h & 63)) & 1u) [[unlikely]] {
        hits |= verify(text, j, h);
      }
    }
    return hits;
  }

 private:
  static constexpr std::size_t kMinEntry = 5;
  static constexpr unsigned kHashBits = 16;

  struct Filed {
    std::string_view entry;
    std::uint32_t bit;
    std::uint32_t hash;
    std::uint8_t offset;  // where the gram sits in the entry: 0 or 1
  };

  static std::uint32_t load(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v | 0x20202020u;  // letters of either case alike (other bytes may collide: the compare sorts it out)
  }
  static std::uint32_t hashOf(std::uint32_t gram) { return (gram * 0x9E3779B1u) >> (32 - kHashBits); }

  void addEntry(std::string_view entry, std::uint32_t bit) {
    for (std::uint8_t offset = 0; offset < 2; ++offset) {
      const std::uint32_t h = hashOf(load(reinterpret_cast<const unsigned char*>(entry.data()) + offset));
      set_[h >> 6] |= std::uint64_t{1} << (h & 63);
      filed_.push_back({entry, bit, h, offset});
    }
  }

  bool equalsLowered(const unsigned char* text, std::string_view entry) const {
    for (std::size_t k = 0; k < entry.size(); ++k) {
      if (lower_[text[k]] != static_cast<unsigned char>(entry[k])) return false;
    }
    return true;
  }

  std::uint32_t verify(std::string_view text, std::size_t gramAt, std::uint32_t h) const {
    std::uint32_t hits = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    auto f = std::lower_bound(filed_.begin(), filed_.end(), h, [](const Filed& x, std::uint32_t v) { return x.hash < v; });
    for (; f != filed_.end() && f->hash == h; ++f) {
      if (gramAt < f->offset) continue;
      const std::size_t at = gramAt - f->offset;
      if (at + f->entry.size() > text.size() || !equalsLowered(bytes + at, f->entry)) continue;
      if ((f->bit & (hitErrorWord | hitFaultWord)) != 0 && !isWholeWord(text, at, at + f->entry.size())) continue;
      hits |= f->bit;
    }
    return hits;
  }

  std::array<std::uint64_t, (std::size_t{1} << kHashBits) / 64> set_{};
  std::vector<Filed> filed_;
  unsigned char lower_[256] = {};
};

const GramFilter& gramFilter() {
  static const GramFilter instance;
  return instance;
}

}  // namespace

std::uint32_t scanKeywords(std::string_view normalized) {
  return gramFilter().scan(normalized) | privacyHits(normalized);
}

std::uint32_t scanKeywordsFoldingCase(std::string_view text) {
  std::uint32_t hits = gramFilter().scan(text);
  if (!text.empty()) {
    for (auto prefix : tables::privacyPrefixes) {
      if (text.size() >= prefix.size() && equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix)) {
        hits |= hitPrivacyPrefix;
        break;
      }
    }
  }
  return hits;
}

}  // namespace mf
