// SPDX-License-Identifier: GPL-3.0-or-later
// The splitting of a stream into lines, decoded whole by ICU: one U+FFFD per
// maximal invalid subpart, then the separators, then empty pieces dropped.
// The chunked splitter must give the same lines however the stream is cut.

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdlib>

#include "reference/reference_rules.h"

namespace mf::reference {

std::vector<std::string> splitLines(std::string_view stream) {
  std::vector<std::string> lines;
  if (stream.empty()) return lines;
  std::u16string wide(stream.size() + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(wide.data()), static_cast<int32_t>(wide.size()), &length,
                       stream.data(), static_cast<int32_t>(stream.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) std::abort();
  std::string line;
  auto endLine = [&] {
    if (!line.empty()) lines.push_back(line);
    line.clear();
  };
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U16_NEXT(wide.data(), i, length, c);
    if ((c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029) {
      endLine();
      continue;
    }
    char buf[4];
    int32_t k = 0;
    U8_APPEND_UNSAFE(buf, k, c);
    line.append(buf, static_cast<std::size_t>(k));
  }
  endLine();
  return lines;
}

std::vector<std::string> linesOf(const LineBatch& batch) {
  std::vector<std::string> lines;
  lines.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  return lines;
}

}  // namespace mf::reference
