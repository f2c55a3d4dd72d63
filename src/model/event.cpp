// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/event.h"

#include <functional>

#include "model/uuid.h"

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

std::optional<EventType> eventTypeFromLabel(std::string_view text) {
  for (auto type : {EventType::info, EventType::warning, EventType::error, EventType::success}) {
    if (label(type) == text) return type;
  }
  return std::nullopt;
}

std::size_t hashValue(EventType type) { return std::hash<std::string_view>{}(label(type)); }

namespace {
void combine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}
}  // namespace

std::size_t hashValue(const MarrowfieldEvent& event) {
  std::size_t seed = 0;
  combine(seed, UuidHash{}(event.id));
  combine(seed, std::hash<double>{}(event.time));
  combine(seed, hashValue(event.type));
  combine(seed, std::hash<std::string>{}(event.source));
  combine(seed, std::hash<std::string>{}(event.message));
  combine(seed, std::hash<unsigned char>{}(event.isRoutineNoise ? 1 : 0));
  return seed;
}

}  // namespace mf
