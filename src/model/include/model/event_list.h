// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "model/event.h"

namespace mf {

// A borrowed view of one stored event. Valid while any EventList sharing the
// storage it came from is alive.
struct EventView {
  const Uuid* id;
  double time;
  EventType type;
  std::string_view source;
  std::string_view message;
  bool isRoutineNoise;
  // The message case-folded for search, or empty when the message is plain
  // ASCII (search folds ASCII on the fly, so storing it would double memory).
  std::string_view foldedMessage;
  LineOrigin origin;

  MarrowfieldEvent toEvent() const;
};

class EventStorage;

// The ordered list of events of a trace or a session.
//
// Behaves as a value (copies are independent lists) but stores compactly:
// records of fixed size plus chunked text, shared between copies. A copy is
// O(1); appending to a list whose storage is shared and already extended past
// its end by another copy first copies its own events (copy on write). All
// access happens on one thread (the main thread), so no locking.
class EventList {
 public:
  EventList();
  EventList(const EventList&);
  EventList& operator=(const EventList&);
  EventList(EventList&&) noexcept;
  EventList& operator=(EventList&&) noexcept;
  ~EventList();

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  EventView operator[](std::size_t index) const;
  // Fills `out` with the views of the events from `first` on, as many as fit
  // and exist, and returns how many: a pass over the whole list costs one
  // call per run instead of one per event.
  std::size_t views(std::size_t first, std::span<EventView> out) const;
  MarrowfieldEvent at(std::size_t index) const;

  void append(const MarrowfieldEvent& event);
  void append(const Uuid& id, double time, EventType type, std::string_view source,
              std::string_view message, bool isRoutineNoise, LineOrigin origin = LineOrigin::trace);
  // Puts the events from `firstNew` on (just appended) where their times
  // belong among the earlier ones, which are in order of time: after every
  // event of an earlier or the same time, so events of one time keep the
  // order they were added in. Only the events a new one passes move, each
  // once; a line that arrives late belongs near the end, so this costs the
  // few events it passes, not the list. Returns the first index whose event
  // changed, or size() when every new event was in place. When something
  // moved and `placedAt` is given, it receives where each new event went,
  // in the order they were added.
  std::size_t placeByTime(std::size_t firstNew, std::vector<std::size_t>* placedAt = nullptr);
  // Becomes empty, with storage of its own.
  void clear();

  // First index whose id equals `id`, scanning the whole list.
  std::optional<std::size_t> indexOf(const Uuid& id) const;
  std::vector<MarrowfieldEvent> toVector() const;
  static EventList fromVector(const std::vector<MarrowfieldEvent>& events);

  // Bytes held by the storage this list refers to (shared storage counted once per list).
  std::size_t storageBytes() const;

 private:
  std::shared_ptr<EventStorage> storage_;
  std::size_t size_ = 0;
};

}  // namespace mf
