// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/classify.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <unicode/ubrk.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstring>
#include <array>
#include <memory>
#include <vector>

#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"
#include "text/search_fold.h"
#include "text/unicode_text.h"
#include "model/event_list.h"
#include "text/line_batch.h"
#include "model/stamps.h"

namespace mf {
namespace {

// Byte tables for the ASCII road of normalizeLine.
struct AsciiTables {
  std::array<char, 128> lower{};
  std::array<bool, 128> collapse{};
  std::array<bool, 128> trim{};
  constexpr AsciiTables() {
    for (int c = 0; c < 128; ++c) {
      lower[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      collapse[c] = c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
      trim[c] = c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x20;
    }
  }
};
constexpr AsciiTables kAscii;

void normalizeAsciiInto(std::string_view text, std::string& out) {
  out.resize(text.size());
  char* dst = out.data();
  bool inRun = false;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (kAscii.collapse[c]) {
      if (!inRun) *dst++ = ' ';
      inRun = true;
    } else {
      *dst++ = kAscii.lower[c];
      inRun = false;
    }
  }
  const char* begin = out.data();
  const char* end = dst;
  while (begin < end && kAscii.trim[static_cast<unsigned char>(*begin)]) ++begin;
  while (end > begin && kAscii.trim[static_cast<unsigned char>(end[-1])]) --end;
  const auto offset = static_cast<std::size_t>(begin - out.data());
  const auto length = static_cast<std::size_t>(end - begin);
  if (offset != 0) std::memmove(out.data(), begin, length);
  out.resize(length);
}

void normalizeUnicodeInto(std::string_view text, std::string& out) {
  // Collapse and trim on code points, then one u_strToLower over the whole
  // text: the lower-case mapping is context-sensitive (final sigma).
  std::u16string collapsed;
  collapsed.reserve(text.size());
  bool inRun = false;
  for (std::size_t i = 0; i < text.size();) {
    const UChar32 c = text::nextCodePoint(text, i);
    if (text::isCollapseChar(c)) {
      if (!inRun) collapsed.push_back(u' ');
      inRun = true;
      continue;
    }
    inRun = false;
    if (c <= 0xFFFF) {
      collapsed.push_back(static_cast<char16_t>(c));
    } else {
      collapsed.push_back(static_cast<char16_t>(U16_LEAD(c)));
      collapsed.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  std::size_t begin = 0;
  std::size_t end = collapsed.size();
  while (begin < end) {
    std::int32_t i = static_cast<std::int32_t>(begin);
    UChar32 c;
    U16_NEXT(collapsed.data(), i, static_cast<std::int32_t>(end), c);
    if (!text::isTrimChar(c)) break;
    begin = static_cast<std::size_t>(i);
  }
  while (end > begin) {
    std::int32_t i = static_cast<std::int32_t>(end);
    UChar32 c;
    U16_PREV(collapsed.data(), static_cast<std::int32_t>(begin), i, c);
    if (!text::isTrimChar(c)) break;
    end = static_cast<std::size_t>(i);
  }
  const auto* src = reinterpret_cast<const UChar*>(collapsed.data() + begin);
  const auto srcLength = static_cast<std::int32_t>(end - begin);

  std::u16string lowered(static_cast<std::size_t>(srcLength) + 16, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = u_strToLower(reinterpret_cast<UChar*>(lowered.data()),
                                     static_cast<std::int32_t>(lowered.size()), src, srcLength, "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    lowered.assign(static_cast<std::size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    length = u_strToLower(reinterpret_cast<UChar*>(lowered.data()), length, src, srcLength, "", &status);
  }
  if (U_FAILURE(status)) {  // not expected; keep the unlowered text rather than lose it
    lowered.assign(collapsed, begin, end - begin);
    length = srcLength;
  }

  out.clear();
  std::int32_t utf8Length = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &utf8Length, reinterpret_cast<const UChar*>(lowered.data()), length, &status);
  out.resize(static_cast<std::size_t>(utf8Length));
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), utf8Length, &utf8Length, reinterpret_cast<const UChar*>(lowered.data()), length, &status);
}

// Mostly-ASCII text without a capital sigma: one pass over code points, with
// no detour through UTF-16. In the root locale the full lower-case mapping
// is the simple one for every code point but two: U+0130, which becomes
// "i" + U+0307, and U+03A3, whose lower case depends on its neighbours
// (final sigma) and which therefore goes the whole-text road. Returns false,
// leaving `out` unspecified, when the text needs that road.
bool normalizeMixedInto(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size() + 8);
  bool inRun = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      ++i;
      if (kAscii.collapse[byte]) {
        if (!inRun) out += ' ';
        inRun = true;
      } else {
        out += kAscii.lower[byte];
        inRun = false;
      }
      continue;
    }
    const UChar32 c = text::nextCodePoint(text, i);
    if (text::isCollapseChar(c)) {
      if (!inRun) out += ' ';
      inRun = true;
      continue;
    }
    inRun = false;
    if (c == 0x03A3) return false;
    if (c == 0x0130) {
      out += "i\xCC\x87";
    } else {
      text::appendUtf8(out, u_tolower(c));
    }
  }
  const std::string_view trimmed = trimWhitespace(out);
  if (trimmed.size() != out.size()) {
    const auto offset = static_cast<std::size_t>(trimmed.data() - out.data());
    const std::size_t length = trimmed.size();
    std::memmove(out.data(), out.data() + offset, length);
    out.resize(length);
  }
  return true;
}

void normalizeInto(std::string_view text, std::string& out) {
  if (isAscii(text)) {
    normalizeAsciiInto(text, out);
  } else if (!normalizeMixedInto(text, out)) {
    normalizeUnicodeInto(text, out);
  }
}

// Grapheme clusters of `text`, counting stops once `limit` is passed.
std::size_t countGraphemeClusters(std::string_view text, std::size_t limit) {
  struct BreakIteratorCloser {
    void operator()(UBreakIterator* it) const { ubrk_close(it); }
  };
  // Opening a break iterator loads rules; keep one per thread.
  thread_local std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<UBreakIterator, BreakIteratorCloser>(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  }();
  if (!iterator) return text.size();  // no ICU data: one per code unit is an upper bound

  UErrorCode status = U_ZERO_ERROR;
  UText ut = UTEXT_INITIALIZER;
  utext_openUTF8(&ut, text.data(), static_cast<std::int64_t>(text.size()), &status);
  ubrk_setUText(iterator.get(), &ut, &status);
  std::size_t count = 0;
  if (U_SUCCESS(status)) {
    ubrk_first(iterator.get());
    while (ubrk_next(iterator.get()) != UBRK_DONE) {
      if (++count > limit) break;
    }
  } else {
    count = text.size();
  }
  utext_close(&ut);
  return count;
}

constexpr std::size_t kTrivialMaxClusters = 8;

}  // namespace

std::string appMarkerFor(std::string_view bundleIdentifier) {
  const std::string lowered = text::lowerCaseRoot(bundleIdentifier);
  const std::string_view id = trimWhitespace(lowered);
  if (id.empty()) return {};
  std::string marker;
  marker.reserve(id.size() + 2);
  marker += '[';
  marker += id;
  marker += ':';
  return marker;
}

namespace {

constexpr std::string_view kPermission = "PERMISSION";
constexpr std::string_view kCrash = "CRASH";
constexpr std::string_view kFile = "FILE";
constexpr std::string_view kConsole = "CONSOLE";

}  // namespace

std::string_view trimWhitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const auto byte = static_cast<unsigned char>(text[begin]);
    if (byte < 0x80) {
      if (!kAscii.trim[byte]) break;
      ++begin;
      continue;
    }
    std::size_t next = begin;
    if (!text::isTrimChar(text::nextCodePoint(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const auto byte = static_cast<unsigned char>(text[end - 1]);
    if (byte < 0x80) {
      if (!kAscii.trim[byte]) break;
      --end;
      continue;
    }
    std::size_t previous = end;
    if (!text::isTrimChar(text::previousCodePoint(text, previous))) break;
    end = previous;
  }
  return text.substr(begin, end - begin);
}

std::string normalizeLine(std::string_view text) {
  std::string out;
  normalizeInto(text, out);
  return out;
}

bool containsWord(std::string_view normalized, std::string_view word) {
  // A piece is a maximal run of word characters, so a word with anything
  // else in it can never equal one.
  if (word.empty()) return false;
  for (std::size_t i = 0; i < word.size();) {
    if (!text::isWordChar(text::nextCodePoint(word, i))) return false;
  }
  for (std::size_t at = normalized.find(word); at != std::string_view::npos; at = normalized.find(word, at + 1)) {
    std::size_t before = at;
    if (at > 0 && text::isWordChar(text::previousCodePoint(normalized, before))) continue;
    std::size_t after = at + word.size();
    if (after < normalized.size() && text::isWordChar(text::nextCodePoint(normalized, after))) continue;
    return true;
  }
  return false;
}

bool isTrivialLine(std::string_view line) {
  const std::string_view trimmed = trimWhitespace(line);
  if (trimmed.empty()) return true;
  if (isAscii(trimmed)) {
    // An ASCII cluster is one byte, except CR LF.
    std::size_t clusters = trimmed.size();
    if (clusters > 2 * kTrivialMaxClusters) return false;
    for (std::size_t i = 0; i + 1 < trimmed.size(); ++i) {
      if (trimmed[i] == '\r' && trimmed[i + 1] == '\n') --clusters;
    }
    if (clusters > kTrivialMaxClusters) return false;
    return std::none_of(trimmed.begin(), trimmed.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
  }
  // A letter, mark or digit makes the line non-trivial at any length, so only
  // lines without any need their clusters counted.
  for (std::size_t i = 0; i < trimmed.size();) {
    if (text::isLetterMarkNumber(text::nextCodePoint(trimmed, i))) return false;
  }
  return countGraphemeClusters(trimmed, kTrivialMaxClusters) <= kTrivialMaxClusters;
}

namespace {

// Printable ASCII (0x20..0x7F) without two blanks in a row. Such a line,
// once trimmed, is already in normal form except for letter case, so the
// keyword scan can run on it directly instead of on a lower-cased copy.
bool isPlainAsciiLine(std::string_view line) {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const std::size_t n = line.size();
  std::size_t i = 0;
  bool previousBlank = false;
#if defined(__SSE2__)
  // 16 bytes at a time: a signed compare below 0x20 catches both the control
  // bytes and every byte >= 0x80; blank pairs show in the bit mask.
  const __m128i limit = _mm_set1_epi8(0x20);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(_mm_cmplt_epi8(v, limit)) != 0) return false;
    const unsigned blanks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, limit)));
    if ((blanks & (blanks >> 1)) != 0 || (previousBlank && (blanks & 1u) != 0)) return false;
    previousBlank = (blanks & 0x8000u) != 0;
  }
#endif
  for (; i < n; ++i) {
    const unsigned char c = p[i];
    if (c < 0x20 || c >= 0x80) return false;
    if (c == ' ' && previousBlank) return false;
    previousBlank = c == ' ';
  }
  return true;
}

// `marker` is lower case and starts with '['.
bool containsIgnoringAsciiCase(std::string_view text, std::string_view marker) {
  std::size_t at = 0;
  while (at + marker.size() <= text.size()) {
    const void* found = std::memchr(text.data() + at, '[', text.size() - at - marker.size() + 1);
    if (found == nullptr) return false;
    at = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    bool equal = true;
    for (std::size_t k = 1; k < marker.size(); ++k) {
      if (kAscii.lower[static_cast<unsigned char>(text[at + k])] != marker[k]) {
        equal = false;
        break;
      }
    }
    if (equal) return true;
    ++at;
  }
  return false;
}

}  // namespace

LineClassifier::LineClassifier(std::string_view bundleIdentifier) : appMarker_(appMarkerFor(bundleIdentifier)) {}

bool isAppAuthored(const LineInfo& info) {
  switch (info.origin) {
    case LineOrigin::standardOutput:
    case LineOrigin::standardError:
      return true;
    case LineOrigin::journal:
      return (info.priority == 5 || info.priority == 6) && !info.libraryDomain;
    case LineOrigin::trace:
      return false;
  }
  return false;
}

Classification LineClassifier::classify(std::string_view trimmedLine, const LineInfo& info) const {
  const std::int8_t priority = info.priority;
  // Reused between calls: classification runs for every log line and should
  // not allocate for each.
  // Two roads to the same result: a plain ASCII line is scanned as it is,
  // letter case folded on the fly; anything else is normalised first.
  const bool isPlain = !trimmedLine.empty() && trimmedLine.front() != ' ' && trimmedLine.back() != ' ' &&
                       isPlainAsciiLine(trimmedLine);
  thread_local std::string buffer;
  std::string_view normalized = trimmedLine;
  std::uint32_t hits;
  if (isPlain) {
    hits = scanKeywordsFoldingCase(trimmedLine);
  } else {
    normalizeInto(trimmedLine, buffer);
    normalized = buffer;
    hits = scanKeywords(normalized);
  }

  Classification result;
  if (hits & hitError) {
    result.type = EventType::error;
  } else if (hits & (hitErrorWord | hitFaultWord | hitWarning)) {
    result.type = EventType::warning;
  }
  // The sender's severity raises the type; the noise rule below then sees
  // the raised type. Only an explicit debug level lowers it: GNOME apps at
  // G_MESSAGES_DEBUG=all say "error" in debug lines of programs that work,
  // and a stream's default level is 6, so 7 is always the sender's word.
  if (priority >= 0 && priority <= 3) {
    result.type = EventType::error;
  } else if (priority == 4 && result.type == EventType::info) {
    result.type = EventType::warning;
  } else if (priority == 7) {
    result.type = EventType::info;
  }

  if (hits & hitPermission) {
    result.source = kPermission;
  } else if (hits & hitCrash) {
    result.source = kCrash;
  } else if (hits & hitFile) {
    result.source = kFile;
  } else {
    result.source = kConsole;
  }

  const bool isTrivial = isPlain ? trimmedLine.size() <= kTrivialMaxClusters &&
                                       std::none_of(trimmedLine.begin(), trimmedLine.end(),
                                                    [](char c) {
                                                      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                                                             (c >= 'A' && c <= 'Z');
                                                    })
                                 : isTrivialLine(trimmedLine);
  if (isTrivial) {
    result.isRoutineNoise = true;
  } else if (result.source != kConsole) {
    result.isRoutineNoise = false;  // every other source this produces is exempt
  } else if (hits & (hitHeader | hitPrivacyPrefix | hitPreference | hitSubsystem | hitFramework)) {
    result.isRoutineNoise = true;
  } else if (result.type == EventType::warning || result.type == EventType::error) {
    result.isRoutineNoise = false;
  } else {
    const bool appAuthored =
        isAppAuthored(info) ||
        (!appMarker_.empty() && (isPlain ? containsIgnoringAsciiCase(normalized, appMarker_)
                                         : normalized.find(appMarker_) != std::string_view::npos));
    result.isRoutineNoise = !appAuthored;
  }
  return result;
}

Classification classifyLine(std::string_view trimmedLine, std::string_view bundleIdentifier) {
  return LineClassifier(bundleIdentifier).classify(trimmedLine);
}

void ingestLines(const LineBatch& batch, std::string_view bundleIdentifier, EventList& events, IdSource& ids,
                 Clock& clock) {
  classifyBatch(batch, bundleIdentifier, [&](std::string_view line, const Classification& c, const LineInfo& info) {
    events.append(ids.next(), info.time > 0 ? info.time : clock.now(), c.type, c.source, line, c.isRoutineNoise,
                  info.origin);
  });
}

}  // namespace mf
