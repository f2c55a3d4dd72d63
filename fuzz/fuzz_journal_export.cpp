// SPDX-License-Identifier: GPL-3.0-or-later
// journalctl's export format, as the trace reads it from a pipe: whatever
// the bytes, the entries must not depend on where the reads cut the stream
// (random cut points, every byte a read, and one single cut), and nothing
// may crash or hold the parser up.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "platform/journal_export.h"

namespace {

using mf::fuzz::mismatch;

std::string describe(const std::vector<mf::JournalEntry>& entries) {
  std::string text;
  for (const auto& e : entries) {
    text += std::to_string(e.realtimeMicros) + "|" + std::to_string(e.priority) + "|" + std::to_string(e.pid) + "|" +
            std::to_string(e.syslogPid) + "|" + e.identifier + "|" + e.comm + "|" + e.exe + "|" + e.transport + "|" +
            e.glibDomain + "|" + e.userUnit + "|" + e.messageId + "|" + std::to_string(e.coredumpPid) + "|" +
            e.coredumpUnit + "|" + e.coredumpComm + "|" + e.message + "\n";
  }
  return text;
}

// Each piece in a block of its own size, so a read past the end of a read is
// seen; with every byte a read, one copy of the whole, since an allocation a
// byte would cost more than the parse.
std::string parse(std::string_view stream, const std::vector<std::size_t>& cuts, bool byteByByte = false) {
  std::vector<mf::JournalEntry> entries;
  mf::JournalExportParser parser([&](mf::JournalEntry&& entry) {
    if (!mf::isValidUtf8(entry.message)) mismatch("a message that is not UTF-8", entry.message, {}, {});
    entries.push_back(std::move(entry));
  });
  if (byteByByte) {
    const mf::fuzz::ExactCopy whole(stream);
    for (std::size_t at = 0; at < stream.size(); ++at) parser.feed(whole.view().substr(at, 1));
  } else {
    std::size_t at = 0;
    for (const std::size_t cut : cuts) {
      if (cut <= at || cut >= stream.size()) continue;
      const mf::fuzz::ExactCopy piece(stream.substr(at, cut - at));
      parser.feed(piece.view());
      at = cut;
    }
    const mf::fuzz::ExactCopy piece(stream.substr(at));
    parser.feed(piece.view());
  }
  parser.finish();
  return describe(entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mf::fuzz::Reader in(data, size);
  const std::uint8_t seed = in.byte();
  const std::string_view stream = in.rest();
  const std::string whole = parse(stream, {});

  std::vector<std::size_t> cuts;
  unsigned state = seed * 2654435761u + 1;
  for (std::size_t at = 0; at < stream.size();) {
    state = state * 1103515245u + 12345u;
    at += 1 + (state >> 16) % 17;
    cuts.push_back(at);
  }
  const std::string pieces = parse(stream, cuts);
  if (pieces != whole) mismatch("random cuts change the entries", stream, pieces, whole);

  // Every boundary a cut at once (a byte a read), and one single cut chosen
  // by the seed: a parse each, where a parse per cut point made short
  // streams cost hundreds of parses and held the run to hundreds a second.
  if (stream.size() > 1) {
    const std::string bytes = parse(stream, {}, true);
    if (bytes != whole) mismatch("a byte a read changes the entries", stream, bytes, whole);
    const std::size_t cut = 1 + state % (stream.size() - 1);
    const std::string two = parse(stream, {cut});
    if (two != whole) mismatch(("one cut at " + std::to_string(cut)).c_str(), stream, two, whole);
  }
  return 0;
}
