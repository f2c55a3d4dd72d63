// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Character classes, small UTF-8 helpers and the root locale's lower case,
// shared by the analysis code and the journal capture.

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace mf::text {

inline bool isSeparatorCategory(UChar32 c) {
  return (U_GET_GC_MASK(c) & (U_GC_ZS_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK)) != 0;
}

// Trimming set: tab, U+000A..U+000D, U+0085, Zs, Zl, Zp.
inline bool isTrimChar(UChar32 c) {
  if (c < 0x80) return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x20;
  return c == 0x85 || isSeparatorCategory(c);
}

// Collapsing set (regular-expression white space): tab, LF, FF, CR, Zs, Zl,
// Zp. Unlike the trimming set it leaves out VT and NEL.
inline bool isCollapseChar(UChar32 c) {
  if (c < 0x80) return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
  return isSeparatorCategory(c);
}

// Letter, mark or number.
inline bool isLetterMarkNumber(UChar32 c) {
  return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

inline bool isWordChar(UChar32 c) { return c == '_' || isLetterMarkNumber(c); }

// Decodes the code point at `i` and advances; bad sequences give U+FFFD.
inline UChar32 nextCodePoint(std::string_view s, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto length = static_cast<std::int32_t>(s.size());
  auto index = static_cast<std::int32_t>(i);
  UChar32 c;
  U8_NEXT(bytes, index, length, c);
  i = static_cast<std::size_t>(index);
  return c < 0 ? 0xFFFD : c;
}

// Decodes the code point that ends at `i` and moves back over it.
inline UChar32 previousCodePoint(std::string_view s, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  auto index = static_cast<std::int32_t>(i);
  UChar32 c;
  U8_PREV(bytes, 0, index, c);
  i = static_cast<std::size_t>(index);
  return c < 0 ? 0xFFFD : c;
}

inline void appendUtf8(std::string& out, UChar32 c) {
  char buf[4];
  std::int32_t k = 0;
  U8_APPEND_UNSAFE(buf, k, c);
  out.append(buf, static_cast<std::size_t>(k));
}

// Full Unicode lower-case mapping under the root locale. Bad UTF-8 becomes
// U+FFFD.
std::string lowerCaseRoot(std::string_view utf8);

}  // namespace mf::text
