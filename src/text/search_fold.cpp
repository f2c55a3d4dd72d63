// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/search_fold.h"

#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <cstring>
#include <vector>

namespace mf {

bool isAscii(std::string_view text) {
  // Eight bytes at a time: a chatty trace calls this once per stored message.
  const char* p = text.data();
  std::size_t n = text.size();
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ULL) return false;
    p += 8;
    n -= 8;
  }
  while (n > 0) {
    if (static_cast<unsigned char>(*p) & 0x80) return false;
    ++p;
    --n;
  }
  return true;
}

bool usesTurkicCaseFolding() {
  char language[ULOC_LANG_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(uloc_getDefault(), language, sizeof language, &status);
  if (U_FAILURE(status)) return false;
  return std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0;
}

std::string foldForSearch(std::string_view utf8) {
  std::string out;
  if (isAscii(utf8)) {
    out.assign(utf8);
    const bool turkic = usesTurkicCaseFolding();
    bool hasCapitalI = false;
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') {
        if (c == 'I' && turkic) hasCapitalI = true;
        c = static_cast<char>(c - 'A' + 'a');
      }
    }
    if (!hasCapitalI) return out;
    out.clear();  // Turkic: I folds to dotless i, which is not ASCII; take the general road
  }
  const uint32_t options = usesTurkicCaseFolding() ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT;

  // UTF-8 -> UTF-16 with U+FFFD for bad sequences, fold, back to UTF-8.
  // Code points are folded one by one so no intermediate exceeds a small
  // buffer; full folding never maps one code point to more than 3.
  out.reserve(utf8.size() + utf8.size() / 4);
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  const int32_t length = static_cast<int32_t>(utf8.size());
  int32_t i = 0;
  while (i < length) {
    if (bytes[i] < 0x80) {
      char c = static_cast<char>(bytes[i]);
      if (c >= 'A' && c <= 'Z') {
        if (c == 'I' && options == U_FOLD_CASE_EXCLUDE_SPECIAL_I) {
          out += "\xC4\xB1";  // U+0131
          ++i;
          continue;
        }
        c = static_cast<char>(c - 'A' + 'a');
      }
      out += c;
      ++i;
      continue;
    }
    UChar32 cp;
    U8_NEXT(bytes, i, length, cp);
    if (cp < 0) cp = 0xFFFD;
    UChar src[2] = {0, 0};
    int32_t srcLen = 0;
    U16_APPEND_UNSAFE(src, srcLen, cp);
    UChar folded[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t foldedLen = u_strFoldCase(folded, 8, src, srcLen, options, &status);
    int32_t useLen = foldedLen;
    if (U_FAILURE(status)) {  // cannot happen for one code point; keep it unfolded
      folded[0] = src[0];
      folded[1] = src[1];
      useLen = srcLen;
    }
    int32_t j = 0;
    while (j < useLen) {
      UChar32 f;
      U16_NEXT_UNSAFE(folded, j, f);
      char buf[4];
      int32_t k = 0;
      U8_APPEND_UNSAFE(buf, k, f);
      out.append(buf, static_cast<std::size_t>(k));
    }
  }
  return out;
}

}  // namespace mf
