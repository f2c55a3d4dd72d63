// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

namespace mf {

// Well-formed UTF-8: no stray continuation byte, no overlong form, no
// surrogate, nothing above U+10FFFF, no sequence cut short.
bool isValidUtf8(std::string_view text);

}  // namespace mf
