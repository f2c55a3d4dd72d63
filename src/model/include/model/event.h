// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/uuid.h"
#include "text/line_batch.h"

namespace mf {

// One classified event. A plain value: lists hold copies, nothing refers to an
// event by address, and no field changes after creation.
struct MarrowfieldEvent {
  enum class EventType : unsigned char { info, warning, error, success };

  Uuid id;
  double time = 0;  // wall-clock seconds since the Unix epoch, taken at creation
  EventType type = EventType::info;
  std::string source;
  std::string message;
  bool isRoutineNoise = false;
  // Which stream the line came from; the trace's own steps are `trace`.
  LineOrigin origin = LineOrigin::trace;

  // Field by field, in declaration order.
  friend bool operator==(const MarrowfieldEvent&, const MarrowfieldEvent&) = default;
};

using EventType = MarrowfieldEvent::EventType;

// The only text form of a type anywhere: "INFO", "WARN", "ERROR", "OK".
std::string_view label(EventType type);

}  // namespace mf
