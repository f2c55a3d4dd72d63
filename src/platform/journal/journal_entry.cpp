// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_entry.h"

#include <algorithm>
#include <charconv>

#include "text/line_splitter.h"

namespace mf {
namespace {

template <typename Number>
Number parseNumber(std::string_view text, Number fallback) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

}  // namespace

bool isJournalFieldRead(std::string_view key) {
  static constexpr std::string_view kRead[] = {
      "MESSAGE",       "PRIORITY",   "_PID",         "_UID",          "SYSLOG_PID",         "SYSLOG_IDENTIFIER",
      "_COMM",         "_EXE",       "_TRANSPORT",   "_STREAM_ID",    "GLIB_DOMAIN",        "_SYSTEMD_USER_UNIT",
      "MESSAGE_ID",    "COREDUMP_PID", "COREDUMP_UNIT", "COREDUMP_USER_UNIT", "COREDUMP_COMM",
      "_SOURCE_REALTIME_TIMESTAMP", "_AUDIT_ID"};
  return std::find(std::begin(kRead), std::end(kRead), key) != std::end(kRead);
}

std::string validUtf8(std::string_view bytes) {
  bool isAscii = true;
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      isAscii = false;
      break;
    }
  }
  if (isAscii) return std::string(bytes);
  // The line splitter already decodes exactly this way; with no separators
  // that apply and no bound it hands back the text in one piece per line.
  LineSplitter splitter(bytes.size() + 8, LineSplitter::Separators::lineFeedOnly);
  LineBatch lines;
  std::string text;
  std::size_t begin = 0;
  while (begin <= bytes.size()) {
    auto end = bytes.find('\n', begin);
    if (end == std::string_view::npos) end = bytes.size();
    lines.clear();
    splitter.feed(bytes.substr(begin, end - begin), lines);
    splitter.finish(lines);
    if (begin > 0) text += '\n';
    for (std::size_t i = 0; i < lines.size(); ++i) text.append(lines[i]);
    begin = end + 1;
  }
  return text;
}

std::string boundedMessage(std::string_view bytes, bool sizeKnown) {
  if (bytes.size() <= kMaxJournalMessageBytes && sizeKnown) return validUtf8(bytes);
  std::size_t kept = std::min(bytes.size(), kMaxJournalMessageBytes);
  // Not inside a character: back off the continuation bytes of one that the
  // bound would cut (at most three; invalid text is not searched further).
  for (int back = 0; back < 3 && kept > 0 && kept < bytes.size() &&
                     (static_cast<unsigned char>(bytes[kept]) & 0xC0) == 0x80;
       ++back) {
    --kept;
  }
  std::string text = validUtf8(bytes.substr(0, kept));
  if (sizeKnown) {
    text += " \u2026 [" + std::to_string(bytes.size() - kept) + " bytes cut]";
  } else {
    text += " \u2026 [cut at 1 MiB]";
  }
  return text;
}

void setJournalField(JournalEntry& e, std::string_view key, std::string_view value) {
  if (key == "MESSAGE") {
    e.message = boundedMessage(value);
  } else if (key == "PRIORITY") {
    const int priority = parseNumber<int>(value, -1);
    e.priority = priority >= 0 && priority <= 7 ? priority : -1;
  } else if (key == "_PID") {
    e.pid = parseNumber<std::int32_t>(value, 0);
  } else if (key == "_UID") {
    e.uid = parseNumber<std::int64_t>(value, -1);
  } else if (key == "_STREAM_ID") {
    e.streamId = value;
  } else if (key == "SYSLOG_PID") {
    e.syslogPid = parseNumber<std::int32_t>(value, 0);
  } else if (key == "SYSLOG_IDENTIFIER") {
    e.identifier = validUtf8(value);
  } else if (key == "_COMM") {
    e.comm = validUtf8(value);
  } else if (key == "_EXE") {
    e.exe = validUtf8(value);
  } else if (key == "_TRANSPORT") {
    e.transport = value;
  } else if (key == "GLIB_DOMAIN") {
    e.glibDomain = validUtf8(value);
  } else if (key == "_SYSTEMD_USER_UNIT") {
    e.userUnit = value;
  } else if (key == "MESSAGE_ID") {
    e.messageId = value;
  } else if (key == "COREDUMP_PID") {
    e.coredumpPid = parseNumber<std::int32_t>(value, 0);
  } else if (key == "COREDUMP_USER_UNIT" || (key == "COREDUMP_UNIT" && e.coredumpUnit.empty())) {
    e.coredumpUnit = value;
  } else if (key == "COREDUMP_COMM") {
    e.coredumpComm = validUtf8(value);
  } else if (key == "_AUDIT_ID") {
    e.auditId = validUtf8(value);
  } else if (key == "__REALTIME_TIMESTAMP") {
    e.realtimeMicros = parseNumber<std::uint64_t>(value, 0);
  } else if (key == "_SOURCE_REALTIME_TIMESTAMP") {
    e.sourceRealtimeMicros = parseNumber<std::uint64_t>(value, 0);
  }
}

}  // namespace mf
