#pragma once

#include <array>
#include <string_view>

namespace mf::tables {

// Constant, lower case, matched as plain substrings of the normalised line, in
// this order.
// (filled in with the classification rules)

}  // namespace mf::tables
