// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/unicode_text.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include "text/search_fold.h"

namespace mf::text {

std::string lowerCaseRoot(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  std::u16string wide;
  wide.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const UChar32 c = nextCodePoint(utf8, i);
    if (c <= 0xFFFF) {
      wide.push_back(static_cast<char16_t>(c));
    } else {
      wide.push_back(static_cast<char16_t>(U16_LEAD(c)));
      wide.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  UErrorCode status = U_ZERO_ERROR;
  std::u16string lowered(wide.size() + 16, u'\0');
  std::int32_t length = u_strToLower(reinterpret_cast<UChar*>(lowered.data()), static_cast<std::int32_t>(lowered.size()),
                                     reinterpret_cast<const UChar*>(wide.data()), static_cast<std::int32_t>(wide.size()),
                                     "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    lowered.assign(static_cast<std::size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    length = u_strToLower(reinterpret_cast<UChar*>(lowered.data()), length, reinterpret_cast<const UChar*>(wide.data()),
                          static_cast<std::int32_t>(wide.size()), "", &status);
  }
  if (U_FAILURE(status)) {
    lowered = wide;
    length = static_cast<std::int32_t>(wide.size());
  }
  std::string out;
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U16_NEXT(lowered.data(), i, length, c);
    appendUtf8(out, c);
  }
  return out;
}

}  // namespace mf::text
