// SPDX-License-Identifier: GPL-3.0-or-later
// The search field's matching against a fold-both-sides reference, under the
// root and a Turkic default locale; the visible rows (plain scan, and the
// incremental index through narrowing and appends) against a brute-force
// selection with the reference.

#include <unicode/uloc.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/classify.h"
#include "reference/reference_rules.h"
#include "text/search_fold.h"
#include "analysis/visible.h"
#include "fuzz_common.h"
#include "model/event_list.h"

namespace {

using mf::fuzz::mismatch;

constexpr std::string_view kSources[] = {"CONSOLE", "PERMISSION", "CRASH", "FILE", "SESSION", "PROCESS", "LOG", "PATH"};

bool referenceMatches(const mf::EventView& e, std::string_view query, bool turkic) {
  return mf::reference::searchMatches(e.message, query, turkic) ||
         mf::reference::searchMatches(e.source, query, turkic) ||
         mf::reference::searchMatches(mf::label(e.type), query, turkic);
}

std::vector<std::uint32_t> referenceRows(const mf::EventList& events, bool showRaw, std::string_view query,
                                         bool turkic) {
  std::vector<std::uint32_t> rows;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const mf::EventView e = events[i];
    if (!showRaw && e.isRoutineNoise) continue;
    if (!referenceMatches(e, query, turkic)) continue;
    rows.push_back(static_cast<std::uint32_t>(i));
  }
  return rows;
}

std::string rowsText(const std::vector<std::uint32_t>& rows) {
  std::string s;
  for (auto r : rows) s += std::to_string(r) + ",";
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mf::fuzz::Reader in(data, size);
  const std::uint8_t flags = in.byte();
  const bool turkic = (flags & 1) != 0;
  const bool showRaw = (flags & 2) != 0;
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault(turkic ? "tr_TR" : "en_US", &status);
  if (mf::usesTurkicCaseFolding() != turkic) std::abort();

  const std::string query = mf::fuzz::toValidUtf8(in.piece(16));
  const std::string stream(in.rest());
  if (stream.size() > 4096) return 0;

  // Events as a trace holds them: the splitter's lines, trimmed, with a
  // source, a type and a noise flag taken from the bytes around them.
  std::vector<std::string> messages;
  for (const auto& line : mf::fuzz::splitLines(stream)) {
    const std::string_view trimmed = mf::trimWhitespace(line);
    if (!trimmed.empty()) messages.emplace_back(trimmed);
  }
  mf::EventList events;
  mf::EventList firstHalf;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const auto h = static_cast<unsigned char>(messages[i][0]) + i;
    const auto type = static_cast<mf::EventType>(h % 4);
    std::array<std::uint8_t, 16> id{};
    id[0] = static_cast<std::uint8_t>(i);
    id[1] = static_cast<std::uint8_t>(i >> 8);
    events.append(mf::Uuid::fromRandomBytes(id), 1000.0 + static_cast<double>(i), type, kSources[h % 8], messages[i],
                  (h / 8) % 3 == 0);
    if (i == messages.size() / 2) firstHalf = events;
  }

  const mf::SearchQuery q(query);
  for (std::size_t i = 0; i < events.size(); ++i) {
    const mf::EventView e = events[i];
    const std::string fold = mf::foldForSearch(e.message);
    const std::string foldRef = mf::reference::foldCase(e.message, turkic);
    if (fold != foldRef) mismatch("foldForSearch", e.message, fold, foldRef);
    const bool want = referenceMatches(e, query, turkic);
    if (q.matches(e) != want) mismatch("SearchQuery::matches", std::string(e.message) + " | query " + query, q.matches(e) ? "1" : "0", want ? "1" : "0");
    const bool wantText = mf::reference::searchMatches(e.message, query, turkic);
    const mf::fuzz::ExactCopy exactMessage(e.message);
    if (q.matchesText(exactMessage.view()) != wantText) mismatch("SearchQuery::matchesText", std::string(e.message) + " | query " + query, {}, {});
    if (q.matchesText(e.message, fold) != wantText) mismatch("SearchQuery::matchesText with its fold", e.message, {}, {});
  }

  // Any bytes as the text (a stored message that was never valid UTF-8).
  const mf::fuzz::ExactCopy exactRaw(std::string_view(stream).substr(0, 256));
  const std::string_view raw = exactRaw.view();
  const std::string rawValid = mf::fuzz::toValidUtf8(raw);
  if (mf::foldForSearch(raw) != mf::foldForSearch(rawValid)) {
    mismatch("foldForSearch reads bad bytes unlike U+FFFD", raw, mf::foldForSearch(raw), mf::foldForSearch(rawValid));
  }
  if (q.matchesText(raw) != mf::reference::searchMatches(rawValid, query, turkic)) {
    mismatch("SearchQuery::matchesText on raw bytes", raw, {}, query);
  }

  const auto want = referenceRows(events, showRaw, query, turkic);
  const auto plain = mf::reference::selectVisibleRows(events, showRaw, query);
  if (plain != want) mismatch("selectVisibleRows", query, rowsText(plain), rowsText(want));

  // The index: a broader search first (a prefix of the query), then the
  // query itself on the same list (the narrowing road), from a list that had
  // only its first half, then the appends.
  const std::string broader = query.substr(0, query.size() / 2);
  mf::VisibleIndex index;
  index.reset(firstHalf, showRaw, broader);
  index.appendFrom(events, firstHalf.size());
  index.reset(events, showRaw, query);
  if (index.rows() != want) mismatch("VisibleIndex after narrowing", query, rowsText(index.rows()), rowsText(want));
  mf::VisibleIndex growing;
  growing.reset(firstHalf, showRaw, query);
  growing.appendFrom(events, firstHalf.size());
  if (growing.rows() != want) mismatch("VisibleIndex after appends", query, rowsText(growing.rows()), rowsText(want));
  if (growing.suppressedCount() != mf::reference::suppressedCount(events)) mismatch("suppressedCount", query, {}, {});

  const mf::SearchQuery b(broader);
  if (q.narrows(b)) {
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (q.matches(events[i]) && !b.matches(events[i])) mismatch("narrows() promised too much", query, broader, {});
    }
  }
  return 0;
}
