// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/event_list.h"
#include "model/uuid.h"

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
  bool matchesMessage(const EventView& event) const;
  bool matchesLabel(EventType type) const;
  // Whether `text` (with `folded`, its fold, or empty when `text` is ASCII or
  // not folded yet) contains the query. Letters match whatever their case.
  bool matchesText(std::string_view text, std::string_view folded = {}) const;
  const std::string& trimmed() const { return trimmed_; }
  const std::string& folded() const { return folded_; }
  // Every event this query matches is also matched by `broader`: the folded
  // query contains the broader one and both fold alike.
  bool narrows(const SearchQuery& broader) const;

 private:
  bool matchesAscii(std::string_view text) const;

  std::string trimmed_;
  std::string folded_;
  bool turkic_ = false;       // folded with the Turkic i rules
  bool foldedIsAscii_ = true;
  // Under Turkic folding an ASCII "I" folds to a non-ASCII dotless i; a query
  // that holds one compares ASCII text by folding it.
  bool foldAsciiText_ = false;
  bool labelMatches_[4] = {true, true, true, true};  // by EventType
};

// Whether the event list shows `event`: routine noise only with the raw log
// on, and only what the search matches.
inline bool isShown(const EventView& event, bool showRawLog, const SearchQuery& query) {
  return (showRawLog || !event.isRoutineNoise) && (query.empty() || query.matches(event));
}

// The visible rows of a list, kept up to date as events are appended and
// recomputed when the filter changes. Gives the same rows as the plain scan
// of the reference library, in the same order.
class VisibleIndex {
 public:
  // Recomputes for the list and the filter. When, on the same list, the
  // search text changed to one whose fold contains the previous one and/or
  // the raw log was turned off, the current rows are filtered instead of the
  // whole list.
  void reset(const EventList& events, bool showRawLog, std::string_view searchText);
  // Takes in the events appended since the index last read `events`
  // (normally from `first` = the old size) and returns how many became
  // visible. The index keeps its own reading position, so a `first` that is
  // off neither loses nor doubles a row; a list that shrank is scanned anew.
  std::size_t appendFrom(const EventList& events, std::size_t first);
  // The events appended from `firstNew` on (already taken in by appendFrom)
  // were placed among the earlier ones by EventList::placeByTime, which said
  // where each went (`placedAt`). The rows follow without reading an event:
  // each earlier row moves up by the new events placed before it. Returns
  // the first row that changed: the rows before it are as they were.
  std::size_t placed(const EventList& events, std::size_t firstNew, const std::vector<std::size_t>& placedAt);
  const std::vector<std::uint32_t>& rows() const { return rows_; }
  std::size_t suppressedCount() const { return suppressed_; }

 private:
  std::vector<std::uint32_t> rows_;
  // The rows each part of a pass over a large list found, before they are
  // joined; kept so a change of the search allocates nothing new.
  std::vector<std::vector<std::uint32_t>> partRows_;
  // Kept between placements of late events, so one allocates nothing.
  std::vector<std::size_t> sortedPlaces_;
  std::vector<std::uint32_t> tailRows_;
  std::size_t suppressed_ = 0;
  std::size_t scanned_ = 0;
  bool showRawLog_ = false;
  std::string searchText_;
  SearchQuery query_{std::string_view{}};
  // What the rows were computed from, to tell a narrowed search of the same
  // list (filter the rows) from anything else (scan again).
  bool hasRows_ = false;
  Uuid firstId_{};
  Uuid lastId_{};
};

}  // namespace mf
