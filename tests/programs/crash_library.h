// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace mfcrash {
// Writes through `target`: a fault inside the shared library when it is null.
void writeThrough(volatile int* target);
}  // namespace mfcrash
