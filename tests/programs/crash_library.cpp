// SPDX-License-Identifier: GPL-3.0-or-later
#include "crash_library.h"

namespace mfcrash {

void writeThrough(volatile int* target) {
  *target = 1;  // the fault in the library
}

}  // namespace mfcrash
