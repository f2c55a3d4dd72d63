// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/event.h"

namespace mf {

std::string_view label(EventType type) {
  switch (type) {
    case EventType::info: return "INFO";
    case EventType::warning: return "WARN";
    case EventType::error: return "ERROR";
    case EventType::success: return "OK";
  }
  return "INFO";
}

}  // namespace mf
