// SPDX-License-Identifier: GPL-3.0-or-later
// journalctl's export format, as the trace reads it from a pipe: whatever
// the bytes, the entries must not depend on where the reads cut the stream
// (random cut points, and every single cut for short streams), and nothing
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

std::string parse(std::string_view stream, const std::vector<std::size_t>& cuts) {
  std::vector<mf::JournalEntry> entries;
  mf::JournalExportParser parser([&](mf::JournalEntry&& entry) {
    if (!mf::isValidUtf8(entry.message)) mismatch("a message that is not UTF-8", entry.message, {}, {});
    entries.push_back(std::move(entry));
  });
  std::size_t at = 0;
  for (const std::size_t cut : cuts) {
    if (cut <= at || cut >= stream.size()) continue;
    const mf::fuzz::ExactCopy piece(stream.substr(at, cut - at));
    parser.feed(piece.view());
    at = cut;
  }
  const mf::fuzz::ExactCopy piece(stream.substr(at));
  parser.feed(piece.view());
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

  if (stream.size() <= 256) {
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
      const std::string two = parse(stream, {cut});
      if (two != whole) mismatch(("one cut at " + std::to_string(cut)).c_str(), stream, two, whole);
    }
  }
  return 0;
}
