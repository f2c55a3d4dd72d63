// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/utf8.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace mf {

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace mf
