// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace mf {

// The display name of an application at `path`: its last path component with
// the last extension removed ("/usr/share/applications/My.Tool.desktop" gives
// "My.Tool"). A name whose only dot leads it (".hidden"), or that ends in a
// dot, has no extension and stays whole.
std::string applicationNameFromPath(std::string_view path);

}  // namespace mf
