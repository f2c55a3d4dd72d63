// SPDX-License-Identifier: GPL-3.0-or-later
// Line classification and its text rules against the slow ICU-only
// references, on the lines the splitter makes of the input (valid UTF-8, as
// the program receives them) and, where the functions accept any bytes, on
// the raw input too. Also the intake: one event per non-blank line, its
// message the trimmed line, in order.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/classify.h"
#include "analysis/keyword_matcher.h"
#include "reference/reference_rules.h"
#include "analysis/visible.h"
#include "fuzz_common.h"
#include "model/event_list.h"
#include "text/line_batch.h"
#include "trace/services.h"

namespace {

using mf::fuzz::mismatch;

std::string_view typeName(mf::EventType t) { return mf::label(t); }

std::string describe(const mf::Classification& c) {
  return std::string(typeName(c.type)) + "/" + std::string(c.source) + (c.isRoutineNoise ? "/noise" : "/shown");
}

class FixedClock : public mf::Clock {
 public:
  double now() override { return 1000.0; }
};

class CountingIds : public mf::IdSource {
 public:
  mf::Uuid next() override {
    std::array<std::uint8_t, 16> bytes{};
    bytes[0] = static_cast<std::uint8_t>(++count_);
    bytes[1] = static_cast<std::uint8_t>(count_ >> 8);
    return mf::Uuid::fromRandomBytes(bytes);
  }

 private:
  unsigned count_ = 0;
};

void checkTextRules(std::string_view text, std::string_view word) {
  const mf::fuzz::ExactCopy exact(text);
  const std::string_view line = exact.view();
  const std::string trimmed(mf::trimWhitespace(line));
  const std::string trimmedRef = mf::reference::trim(line);
  if (trimmed != trimmedRef) mismatch("trimWhitespace", line, trimmed, trimmedRef);

  const std::string normalized = mf::normalizeLine(line);
  const std::string normalizedRef = mf::reference::normalizeLine(line);
  if (normalized != normalizedRef) mismatch("normalizeLine", line, normalized, normalizedRef);

  if (mf::isTrivialLine(line) != mf::reference::isTrivialLine(line)) {
    mismatch("isTrivialLine", line, mf::isTrivialLine(line) ? "trivial" : "not trivial", {});
  }

  // The words the rules look for are checked by classify; here the input's.
  if (mf::containsWord(normalized, word) != mf::reference::containsWord(normalized, word)) {
    mismatch("containsWord", normalized, mf::containsWord(normalized, word) ? "found" : "not found", word);
  }
  if (mf::scanKeywords(normalized) != mf::reference::scanKeywords(normalized)) {
    mismatch("scanKeywords vs the automaton", normalized, std::to_string(mf::scanKeywords(normalized)),
             std::to_string(mf::reference::scanKeywords(normalized)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mf::fuzz::Reader in(data, size);
  const std::string_view inputBundle = in.piece(24);
  const std::string_view word = in.piece(8);
  const std::string_view stream = in.rest();
  // The references are slow: short inputs (run-fuzz gives -max_len=256) and
  // at most 8 lines held to them keep the run at thousands of inputs a
  // second. Long lines come below, made of the input.
  if (size == 0 || size > 256) return 0;
  constexpr std::size_t kCheckedLines = 8;

  const std::vector<std::string> lines = mf::fuzz::splitLines(stream);
  const std::vector<std::string> wordLines = mf::fuzz::splitLines(word);
  const std::string validWord = wordLines.empty() ? std::string() : wordLines.front();
  const std::vector<std::string> bundleLines = mf::fuzz::splitLines(inputBundle);
  const std::string validBundle = bundleLines.empty() ? std::string() : bundleLines.front();

  const std::string_view bundles[] = {"", "org.example.app", "  ORG.Example.APP\t", validBundle};
  std::vector<mf::LineClassifier> classifiers;
  for (auto b : bundles) classifiers.emplace_back(b);

  // Each line is held to the slow reference with one bundle, the next one
  // for the next line, starting where the input says: the reference costs
  // far more than the fast road.
  const std::size_t firstBundle = data[size - 1] % std::size(bundles);
  for (std::size_t l = 0; l < std::min(lines.size(), kCheckedLines); ++l) {
    const std::string& line = lines[l];
    checkTextRules(line, validWord);
    const mf::fuzz::ExactCopy exact(mf::trimWhitespace(line));
    const std::string_view trimmed = exact.view();
    if (trimmed.empty()) continue;
    const std::size_t b = (firstBundle + l) % std::size(bundles);
    const mf::Classification fast = classifiers[b].classify(trimmed);
    const mf::Classification slow = mf::reference::classify(trimmed, bundles[b]);
    if (fast.type != slow.type || fast.source != slow.source || fast.isRoutineNoise != slow.isRoutineNoise) {
      mismatch("classify", std::string(trimmed) + " | bundle " + std::string(bundles[b]), describe(fast),
               describe(slow));
    }
  }

  // Raw bytes, invalid UTF-8 and separators included: no crash, well-formed
  // output, and the same reading of bad bytes (U+FFFD) as the references.
  const std::string_view raw = stream.substr(0, 256);
  const std::string_view rawTrimmed = mf::trimWhitespace(raw);
  if (rawTrimmed.data() < raw.data() || rawTrimmed.data() + rawTrimmed.size() > raw.data() + raw.size()) {
    mismatch("trimWhitespace left its input", raw, rawTrimmed, {});
  }
  const std::string rawNormalized = mf::normalizeLine(raw);
  if (!mf::isValidUtf8(rawNormalized)) mismatch("normalizeLine made invalid UTF-8", raw, rawNormalized, {});
  if (mf::isValidUtf8(raw)) {
    checkTextRules(raw, validWord);
  } else {
    const std::string rawRef = mf::reference::normalizeLine(raw);
    if (rawNormalized != rawRef) mismatch("normalizeLine on invalid UTF-8", raw, rawNormalized, rawRef);
    (void)mf::isTrivialLine(raw);
    (void)mf::containsWord(raw, "error");
    (void)classifiers[3].classify(raw);
  }

  // Long lines (the splitter lets one grow to a megabyte): a line made of
  // the input repeated must go through in time linear in its length, which
  // the run's -timeout watches (64 KiB is enough for a quadratic cost to
  // show). Only the fast roads, and one input in 128: they would otherwise
  // take most of the run.
  if (mf::fuzz::oneInput(data, size, 128) && !lines.empty()) {
    std::string longLine;
    while (longLine.size() < (std::size_t{1} << 16)) longLine += lines.front();
    const mf::fuzz::ExactCopy exact(longLine);
    const std::string_view text = exact.view();
    const std::string_view trimmed = mf::trimWhitespace(text);
    const std::string normalized = mf::normalizeLine(text);
    (void)mf::isTrivialLine(text);
    (void)mf::containsWord(normalized, "error");
    if (!trimmed.empty()) (void)classifiers[1].classify(trimmed);
    (void)mf::SearchQuery(validWord).matchesText(text);
  }

  // The intake keeps every non-blank line, trimmed, in order. A list costs a
  // megabyte of arena, which would dominate the run; one input in eight
  // does it.
  if (!mf::fuzz::oneInput(data, size, 8, 1)) return 0;
  mf::LineBatch batch;
  for (const auto& line : lines) batch.add(line);
  mf::EventList events;
  FixedClock clock;
  CountingIds ids;
  mf::ingestLines(batch, validBundle, events, ids, clock);
  std::size_t next = 0;
  for (const auto& line : lines) {
    const std::string_view trimmed = mf::trimWhitespace(line);
    if (trimmed.empty()) continue;
    if (next >= events.size()) mismatch("ingestLines lost a line", line, {}, trimmed);
    if (events[next].message != trimmed) mismatch("ingestLines message", line, events[next].message, trimmed);
    if (events[next].type == mf::EventType::success) mismatch("ingestLines made a success", line, {}, {});
    ++next;
  }
  if (next != events.size()) mismatch("ingestLines made up an event", stream, {}, {});
  return 0;
}
