#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/event_list.h"

namespace mf {

// The case-insensitive substring test of the search field, under the user's
// current locale: letters match whatever their case, accents and width count.
class SearchQuery {
 public:
  // `searchText` as typed; it is trimmed here and otherwise used as is.
  explicit SearchQuery(std::string_view searchText);
  bool empty() const;
  // Message, then source, then type label.
  bool matches(const EventView& event) const;
  const std::string& trimmed() const { return trimmed_; }

 private:
  std::string trimmed_;
  std::string folded_;
};

// The reference selection: a plain linear scan. Returns indices into `events`.
std::vector<std::uint32_t> selectVisibleRows(const EventList& events, bool showRawLog,
                                             std::string_view searchText);

std::size_t suppressedCount(const EventList& events);

// The visible rows of a list, kept up to date as events are appended and
// recomputed when the filter changes. Gives the same rows as
// selectVisibleRows, in the same order.
class VisibleIndex {
 public:
  // Recomputes from scratch for the list and the filter.
  void reset(const EventList& events, bool showRawLog, std::string_view searchText);
  // Takes in events[first..] after appends; returns how many became visible.
  std::size_t appendFrom(const EventList& events, std::size_t first);
  const std::vector<std::uint32_t>& rows() const { return rows_; }
  std::size_t suppressedCount() const { return suppressed_; }

 private:
  std::vector<std::uint32_t> rows_;
  std::size_t suppressed_ = 0;
  std::size_t scanned_ = 0;
  bool showRawLog_ = false;
  std::string searchText_;
};

}  // namespace mf
