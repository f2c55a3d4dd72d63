// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/visible.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "analysis/classify.h"
#include "analysis/scan_workers.h"
#include "text/search_fold.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace mf {
namespace {

// A pass stalls on each message's first bytes: the texts lie one after
// another in memory, but a scan that ends at a hit or at the message's end
// gives the processor no run of loads to fetch ahead on. Asking for the text
// of an event a few places ahead hides most of that wait.
constexpr std::size_t kFetchAhead = 6;
inline void fetchAhead(std::string_view text) {
  __builtin_prefetch(text.data());
  __builtin_prefetch(text.data() + 64);
}

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

#if defined(__x86_64__) && defined(__GNUC__)
#define MF_HAVE_AVX2_SEARCH 1
// The same scan as below, 32 positions at a time, for processors with AVX2
// (chosen at run time; SSE2 is the x86-64 baseline the build targets). A
// search over a million events is a scan of some 120 MB of text, so halving
// the steps per message is what keeps a change of the search field within
// one or two frames. Only for texts of at least 32 candidate positions.
struct Avx2Query {
  const unsigned char* q;
  std::size_t m;
  const AsciiFold& fold;
  __m256i firstOr, finalOr, wantFirst, wantFinal;
};

__attribute__((target("avx2"))) inline bool anyMatchAvx2(const Avx2Query& query, const unsigned char* t,
                                                          std::size_t at, std::uint32_t bits) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + at));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + at + query.m - 1));
  const __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, query.firstOr), query.wantFirst),
                                       _mm256_cmpeq_epi8(_mm256_or_si256(b, query.finalOr), query.wantFinal));
  bits &= static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
  while (bits != 0) {
    if (equalFolded(t + at + static_cast<std::size_t>(__builtin_ctz(bits)), query.q, query.m, query.fold)) return true;
    bits &= bits - 1;
  }
  return false;
}

__attribute__((target("avx2"))) bool findFoldedAsciiAvx2(const unsigned char* t, std::size_t size,
                                                          const unsigned char* q, std::size_t m,
                                                          const AsciiFold& fold) {
  const std::size_t last = size - m;  // last candidate start; last + 1 >= 32
  const unsigned char first = q[0];
  const unsigned char final = q[m - 1];
  const Avx2Query query{q,
                        m,
                        fold,
                        _mm256_set1_epi8(static_cast<char>((first & 0x20) ? 0x20 : 0x00)),
                        _mm256_set1_epi8(static_cast<char>((final & 0x20) ? 0x20 : 0x00)),
                        _mm256_set1_epi8(static_cast<char>(first)),
                        _mm256_set1_epi8(static_cast<char>(final))};
  std::size_t i = 0;
  for (; i + 32 <= last + 1; i += 32) {
    if (anyMatchAvx2(query, t, i, 0xFFFFFFFFu)) return true;
  }
  if (i <= last) {
    // The rest in one block that overlaps positions already tested.
    const std::size_t at = last + 1 - 32;
    return anyMatchAvx2(query, t, at, 0xFFFFFFFFu << (i - at));
  }
  return false;
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif

// Case-insensitive search of an ASCII query (already folded) in ASCII text,
// without copying the text. Candidates are found 16 positions at a time by
// testing the query's first and last bytes together (OR-ing 0x20 maps both
// cases of a letter to the lower one, and a few other bytes too, which the
// full compare then rejects); two bytes rule out nearly every position, so
// the full compare rarely runs.
bool findFoldedAscii(std::string_view text, std::string_view query, const AsciiFold& fold) {
  const std::size_t m = query.size();
  if (m == 0) return true;
  if (text.size() < m) return false;
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const auto* q = reinterpret_cast<const unsigned char*>(query.data());
  const std::size_t last = text.size() - m;  // last candidate start
#if defined(MF_HAVE_AVX2_SEARCH)
  if (last + 1 >= 32 && kHasAvx2) return findFoldedAsciiAvx2(t, text.size(), q, m, fold);
#endif
  const unsigned char first = q[0];
  const unsigned char final = q[m - 1];
  const unsigned char firstMask = (first & 0x20) ? 0x20 : 0x00;
  const unsigned char finalMask = (final & 0x20) ? 0x20 : 0x00;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i firstOr = _mm_set1_epi8(static_cast<char>(firstMask));
  const __m128i finalOr = _mm_set1_epi8(static_cast<char>(finalMask));
  const __m128i wantFirst = _mm_set1_epi8(static_cast<char>(first));
  const __m128i wantFinal = _mm_set1_epi8(static_cast<char>(final));
  auto candidates = [&](std::size_t at) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + at + m - 1));
    const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, firstOr), wantFirst),
                                      _mm_cmpeq_epi8(_mm_or_si128(b, finalOr), wantFinal));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
  };
  auto anyMatch = [&](std::size_t at, unsigned bits) {
    while (bits != 0) {
      if (equalFolded(t + at + static_cast<std::size_t>(__builtin_ctz(bits)), q, m, fold)) return true;
      bits &= bits - 1;
    }
    return false;
  };
  // Both loads stay inside the text: at + m - 1 + 16 <= size.
  if (last + 1 >= 16) {
    for (; i + 16 <= last + 1; i += 16) {
      if (anyMatch(i, candidates(i))) return true;
    }
    if (i <= last) {
      // The rest in one block that overlaps positions already tested.
      const std::size_t at = last + 1 - 16;
      return anyMatch(at, candidates(at) & (0xFFFFu << (i - at)));
    }
    return false;
  }
#endif
  for (; i <= last; ++i) {
    if ((t[i] | firstMask) == first && (t[i + m - 1] | finalMask) == final && equalFolded(t + i, q, m, fold)) {
      return true;
    }
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

bool SearchQuery::matchesMessage(const EventView& event) const {
  if (folded_.empty()) return true;
  // The list keeps a fold for every non-ASCII message, so an empty fold means
  // ASCII and the stored text is searched as it is.
  if (!event.foldedMessage.empty()) return event.foldedMessage.find(folded_) != std::string_view::npos;
  return matchesAscii(event.message);
}

bool SearchQuery::matchesLabel(EventType type) const { return labelMatches_[static_cast<int>(type)]; }

bool SearchQuery::matches(const EventView& event) const {
  return matchesMessage(event) || matchesText(event.source) || matchesLabel(event.type);
}

bool SearchQuery::narrows(const SearchQuery& broader) const {
  return turkic_ == broader.turkic_ && folded_.find(broader.folded_) != std::string::npos;
}

namespace {

// One pass over a list: a list stores each distinct source once, so the
// source test is remembered by address for as long as the pass runs.
class PassMatcher {
 public:
  explicit PassMatcher(const SearchQuery& query) : query_(query) {}
  bool operator()(const EventView& event) {
    if (query_.matchesLabel(event.type) || query_.matchesMessage(event)) return true;
    if (event.source.data() != lastSource_.data() || event.source.size() != lastSource_.size()) {
      lastSource_ = event.source;
      lastSourceMatches_ = query_.matchesText(event.source);
    }
    return lastSourceMatches_;
  }

 private:
  const SearchQuery& query_;
  std::string_view lastSource_;
  bool lastSourceMatches_ = false;
};

}  // namespace

namespace {

// Passes over fewer events than this run on the calling thread alone: handing
// parts to other threads costs more than it saves below some tens of
// thousands of events, and an append of a batch is always below it.
constexpr std::size_t kParallelFrom = std::size_t{1} << 16;

// Parts per pass: a few per thread, so that a part full of long messages
// does not leave the other threads waiting.
std::size_t partsFor(std::size_t count) {
  if (count < kParallelFrom) return 1;
  const std::size_t threads = ScanWorkers::shared().parallelism();
  return threads == 1 ? 1 : std::min<std::size_t>(threads * 2, 8);
}

std::size_t partBegin(std::size_t count, std::size_t parts, std::size_t k) { return count * k / parts; }

// Appends the visible rows among events [begin, end) to `rows` and returns
// how many of those events are routine noise.
std::size_t scanRange(const EventList& events, std::size_t begin, std::size_t end, bool showRawLog,
                      const SearchQuery& query, std::vector<std::uint32_t>& rows) {
  std::size_t suppressed = 0;
  const bool filtering = !query.empty();
  PassMatcher matches(query);
  // Views a run at a time (a pass over a million events is what a change
  // of the search or the raw-log switch costs), from a buffer on the stack.
  std::array<EventView, 256> run;
  for (std::size_t i = begin; i < end;) {
    const std::size_t n = events.views(i, std::span<EventView>(run.data(), std::min(run.size(), end - i)));
    if (n == 0) break;
    for (std::size_t k = 0; k < n; ++k) {
      if (filtering && k + kFetchAhead < n) fetchAhead(run[k + kFetchAhead].message);
      const EventView& event = run[k];
      if (event.isRoutineNoise) {
        ++suppressed;
        if (!showRawLog) continue;
      }
      if (filtering && !matches(event)) continue;
      rows.push_back(static_cast<std::uint32_t>(i + k));
    }
    i += n;
  }
  return suppressed;
}

// Keeps, in place and in order, the rows of rows[0, count) that the filter
// still shows; returns how many.
std::size_t filterRows(const EventList& events, std::uint32_t* rows, std::size_t count, bool showRawLog,
                       const SearchQuery& query) {
  PassMatcher matches(query);
  std::size_t kept = 0;
  for (std::size_t r = 0; r < count; ++r) {
    const std::uint32_t row = rows[r];
    if (!query.empty() && r + kFetchAhead < count) fetchAhead(events[rows[r + kFetchAhead]].message);
    const EventView event = events[row];
    if (!showRawLog && event.isRoutineNoise) continue;
    if (query.empty() || matches(event)) rows[kept++] = row;
  }
  return kept;
}

}  // namespace

void VisibleIndex::reset(const EventList& events, bool showRawLog, std::string_view searchText) {
  SearchQuery query(searchText);
  const bool sameList = hasRows_ && scanned_ == events.size() &&
                        (events.empty() || (*events[0].id == firstId_ && *events[events.size() - 1].id == lastId_));
  // Turning the raw log off only hides rows, as a longer query does.
  const bool narrowed = sameList && (showRawLog == showRawLog_ || !showRawLog) && query.narrows(query_);

  showRawLog_ = showRawLog;
  searchText_.assign(searchText);
  query_ = std::move(query);
  if (narrowed) {
    // Every row the narrower filter keeps was a row before: filter in place,
    // each part within its own slice, then close the gaps between slices.
    const std::size_t count = rows_.size();
    const std::size_t parts = partsFor(count);
    std::size_t keptInPart[8] = {};
    ScanWorkers::shared().run(parts, [&](std::size_t k) {
      const std::size_t begin = partBegin(count, parts, k);
      keptInPart[k] = filterRows(events, rows_.data() + begin, partBegin(count, parts, k + 1) - begin, showRawLog_,
                                 query_);
    });
    std::size_t kept = 0;
    for (std::size_t k = 0; k < parts; ++k) {
      const std::size_t begin = partBegin(count, parts, k);
      if (kept != begin) std::memmove(rows_.data() + kept, rows_.data() + begin, keptInPart[k] * sizeof(std::uint32_t));
      kept += keptInPart[k];
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
  const std::size_t begin = scanned_;
  const std::size_t count = events.size() - begin;
  const std::size_t parts = partsFor(count);
  if (parts == 1) {
    suppressed_ += scanRange(events, begin, events.size(), showRawLog_, query_, rows_);
  } else {
    // Each part collects its rows apart (buffers kept from pass to pass), and
    // they are joined in order.
    partRows_.resize(parts);
    std::size_t suppressedInPart[8] = {};
    ScanWorkers::shared().run(parts, [&](std::size_t k) {
      const std::size_t from = begin + partBegin(count, parts, k);
      const std::size_t to = begin + partBegin(count, parts, k + 1);
      partRows_[k].clear();
      partRows_[k].reserve(to - from);  // once: later passes find the room there
      suppressedInPart[k] = scanRange(events, from, to, showRawLog_, query_, partRows_[k]);
    });
    for (std::size_t k = 0; k < parts; ++k) {
      rows_.insert(rows_.end(), partRows_[k].begin(), partRows_[k].end());
      suppressed_ += suppressedInPart[k];
    }
  }
  scanned_ = events.size();
  hasRows_ = true;
  if (!events.empty()) {
    firstId_ = *events[0].id;
    lastId_ = *events[events.size() - 1].id;
  }
  return rows_.size() - before;
}

std::size_t VisibleIndex::placed(const EventList& events, std::size_t firstNew,
                                 const std::vector<std::size_t>& placedAt) {
  if (placedAt.empty()) return rows_.size();
  if (events.size() != scanned_ || firstNew + placedAt.size() != scanned_) {
    // Not what this call is for: anything else is read anew.
    const std::string text = searchText_;
    hasRows_ = false;
    reset(events, showRawLog_, text);
    return 0;
  }
  sortedPlaces_.assign(placedAt.begin(), placedAt.end());
  std::sort(sortedPlaces_.begin(), sortedPlaces_.end());
  const auto firstNewRow = std::lower_bound(rows_.begin(), rows_.end(), static_cast<std::uint32_t>(firstNew));
  const auto firstMoved = std::lower_bound(rows_.begin(), firstNewRow, static_cast<std::uint32_t>(sortedPlaces_[0]));
  const auto firstRow = static_cast<std::size_t>(firstMoved - rows_.begin());
  // The earlier rows from the first place on: each goes up by the new events
  // placed before it.
  tailRows_.clear();
  std::size_t passed = 0;
  for (auto it = firstMoved; it != firstNewRow; ++it) {
    while (passed < sortedPlaces_.size() && sortedPlaces_[passed] <= *it + passed) ++passed;
    tailRows_.push_back(static_cast<std::uint32_t>(*it + passed));
  }
  // The new rows, at their places, in order; then both runs merged.
  const std::size_t oldCount = tailRows_.size();
  for (auto it = firstNewRow; it != rows_.end(); ++it) {
    tailRows_.push_back(static_cast<std::uint32_t>(placedAt[*it - firstNew]));
  }
  std::sort(tailRows_.begin() + static_cast<std::ptrdiff_t>(oldCount), tailRows_.end());
  std::inplace_merge(tailRows_.begin(), tailRows_.begin() + static_cast<std::ptrdiff_t>(oldCount), tailRows_.end());
  rows_.resize(firstRow);
  rows_.insert(rows_.end(), tailRows_.begin(), tailRows_.end());
  // The same events in another order: the suppressed count stays.
  lastId_ = *events[events.size() - 1].id;
  firstId_ = *events[0].id;
  return firstRow;
}

}  // namespace mf
