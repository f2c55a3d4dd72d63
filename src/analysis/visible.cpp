#include "analysis/visible.h"

#include <cstring>

#include "analysis/classify.h"
#include "analysis/search_fold.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mf {
namespace {

constexpr EventType kTypes[] = {EventType::info, EventType::warning, EventType::error, EventType::success};

// ASCII lower case; under Turkic folding "I" is no ASCII letter's capital, so
// it maps to a byte that a valid UTF-8 query never holds.
struct AsciiFold {
  unsigned char map[256];
  explicit constexpr AsciiFold(bool turkic) : map{} {
    for (int c = 0; c < 256; ++c) {
      map[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (turkic) map[static_cast<unsigned char>('I')] = 0xFF;
  }
};
constexpr AsciiFold kFold(false);
constexpr AsciiFold kFoldTurkic(true);

bool equalFolded(const unsigned char* text, const unsigned char* query, std::size_t n, const AsciiFold& fold) {
  for (std::size_t k = 0; k < n; ++k) {
    if (fold.map[text[k]] != query[k]) return false;
  }
  return true;
}

// Case-insensitive search of an ASCII query (already lower case) in ASCII
// text, without copying the text. Candidates for the first byte are found 16
// at a time: OR-ing 0x20 maps both cases of a letter to the lower one (and a
// few other bytes too, which the full compare then rejects).
bool findFoldedAscii(std::string_view text, std::string_view query, const AsciiFold& fold) {
  const std::size_t m = query.size();
  if (m == 0) return true;
  if (text.size() < m) return false;
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const auto* q = reinterpret_cast<const unsigned char*>(query.data());
  const std::size_t last = text.size() - m;  // last candidate start
  const unsigned char first = q[0];
  const unsigned char orMask = (first & 0x20) ? 0x20 : 0x00;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi8(static_cast<char>(orMask));
  const __m128i want = _mm_set1_epi8(static_cast<char>(first));
  while (i + 16 <= last + 1) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i));
    unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(block, mask), want)));
    while (bits != 0) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(bits));
      if (equalFolded(t + at, q, m, fold)) return true;
      bits &= bits - 1;
    }
    i += 16;
  }
#endif
  for (; i <= last; ++i) {
    if ((t[i] | orMask) == first && equalFolded(t + i, q, m, fold)) return true;
  }
  return false;
}

}  // namespace

SearchQuery::SearchQuery(std::string_view searchText)
    : trimmed_(trimWhitespace(searchText)), folded_(foldForSearch(trimmed_)), turkic_(usesTurkicCaseFolding()) {
  foldedIsAscii_ = isAscii(folded_);
  foldAsciiText_ = turkic_ && folded_.find("\xC4\xB1") != std::string::npos;
  for (EventType type : kTypes) {
    labelMatches_[static_cast<int>(type)] = foldForSearch(label(type)).find(folded_) != std::string::npos;
  }
}

bool SearchQuery::empty() const { return trimmed_.empty(); }

bool SearchQuery::matchesAscii(std::string_view text) const {
  if (foldAsciiText_) return foldForSearch(text).find(folded_) != std::string::npos;
  // Folding ASCII text gives ASCII only (the Turkic dotless i aside, handled
  // above), so a query that folds to anything else cannot match it.
  if (!foldedIsAscii_) return false;
  return findFoldedAscii(text, folded_, turkic_ ? kFoldTurkic : kFold);
}

bool SearchQuery::matchesText(std::string_view text, std::string_view folded) const {
  if (folded_.empty()) return true;
  if (!folded.empty()) return folded.find(folded_) != std::string_view::npos;
  if (isAscii(text)) return matchesAscii(text);
  return foldForSearch(text).find(folded_) != std::string::npos;
}

bool SearchQuery::matches(const EventView& event) const {
  if (folded_.empty()) return true;
  // The list keeps a fold for every non-ASCII message, so an empty fold means
  // ASCII and the stored text is searched as it is.
  if (!event.foldedMessage.empty()) {
    if (event.foldedMessage.find(folded_) != std::string_view::npos) return true;
  } else if (matchesAscii(event.message)) {
    return true;
  }
  if (matchesText(event.source)) return true;
  return labelMatches_[static_cast<int>(event.type)];
}

bool SearchQuery::narrows(const SearchQuery& broader) const {
  return turkic_ == broader.turkic_ && folded_.find(broader.folded_) != std::string::npos;
}

std::vector<std::uint32_t> selectVisibleRows(const EventList& events, bool showRawLog, std::string_view searchText) {
  const SearchQuery query(searchText);
  std::vector<std::uint32_t> rows;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventView event = events[i];
    if (!showRawLog && event.isRoutineNoise) continue;
    if (!query.empty() && !query.matches(event)) continue;
    rows.push_back(static_cast<std::uint32_t>(i));
  }
  return rows;
}

std::size_t suppressedCount(const EventList& events) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < events.size(); ++i) count += events[i].isRoutineNoise ? 1 : 0;
  return count;
}

void VisibleIndex::reset(const EventList& events, bool showRawLog, std::string_view searchText) {
  SearchQuery query(searchText);
  const bool sameList = hasRows_ && scanned_ == events.size() &&
                        (events.empty() || (*events[0].id == firstId_ && *events[events.size() - 1].id == lastId_));
  const bool narrowed = sameList && showRawLog == showRawLog_ && query.narrows(query_);

  showRawLog_ = showRawLog;
  searchText_.assign(searchText);
  query_ = std::move(query);
  if (narrowed) {
    // Every row the narrower query keeps was a row before: filter in place.
    std::size_t kept = 0;
    for (const std::uint32_t row : rows_) {
      if (query_.empty() || query_.matches(events[row])) rows_[kept++] = row;
    }
    rows_.resize(kept);
    return;
  }
  rows_.clear();
  suppressed_ = 0;
  scanned_ = 0;
  hasRows_ = true;
  appendFrom(events, 0);
}

std::size_t VisibleIndex::appendFrom(const EventList& events, std::size_t first) {
  (void)first;  // the index knows how far it has read; starting there loses and doubles nothing
  if (events.size() < scanned_) {
    // The list shrank under the index: only a full scan is right.
    const std::string text = searchText_;
    hasRows_ = false;
    reset(events, showRawLog_, text);
    return rows_.size();
  }
  const std::size_t before = rows_.size();
  const bool filtering = !query_.empty();
  for (std::size_t i = scanned_; i < events.size(); ++i) {
    const EventView event = events[i];
    if (event.isRoutineNoise) {
      ++suppressed_;
      if (!showRawLog_) continue;
    }
    if (filtering && !query_.matches(event)) continue;
    rows_.push_back(static_cast<std::uint32_t>(i));
  }
  scanned_ = events.size();
  hasRows_ = true;
  if (!events.empty()) {
    firstId_ = *events[0].id;
    lastId_ = *events[events.size() - 1].id;
  }
  return rows_.size() - before;
}

}  // namespace mf
