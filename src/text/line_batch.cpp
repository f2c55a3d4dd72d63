// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/line_batch.h"

namespace mf {

std::string_view originName(LineOrigin origin) {
  switch (origin) {
    case LineOrigin::trace: return "trace";
    case LineOrigin::journal: return "journal";
    case LineOrigin::standardOutput: return "stdout";
    case LineOrigin::standardError: return "stderr";
  }
  return "trace";
}

}  // namespace mf
