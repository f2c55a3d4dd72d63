// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_export.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "text/line_splitter.h"

namespace mf {
namespace {

// A field is held whole before it is read; one claiming more than this is
// not kept but skipped byte by byte as it streams past, however long it is.
constexpr std::uint64_t kMaxFieldBytes = std::uint64_t{256} << 20;

template <typename Number>
Number parseNumber(std::string_view text, Number fallback) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

}  // namespace

std::string_view journalExportFields() {
  return "MESSAGE,PRIORITY,_PID,_UID,SYSLOG_PID,SYSLOG_IDENTIFIER,_COMM,_EXE,_TRANSPORT,_STREAM_ID,GLIB_DOMAIN,"
         "_SYSTEMD_USER_UNIT,MESSAGE_ID,COREDUMP_PID,COREDUMP_UNIT,COREDUMP_USER_UNIT,COREDUMP_COMM,"
         "_SOURCE_REALTIME_TIMESTAMP,_AUDIT_ID";
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

void JournalExportParser::feed(std::string_view chunk) {
  if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(skipPast(chunk));
  while (parseOne()) {
    // A field being skipped may have begun in what is buffered; the rest of
    // it is passed over in the chunks that follow.
    if (skipping_ > 0) {
      const std::size_t buffered = buffer_.size() - offset_;
      const std::size_t skipped = static_cast<std::size_t>(std::min<std::uint64_t>(skipping_, buffered));
      offset_ += skipped;
      skipping_ -= skipped;
    }
  }
}

std::string_view JournalExportParser::skipPast(std::string_view chunk) {
  const std::size_t skipped = static_cast<std::size_t>(std::min<std::uint64_t>(skipping_, chunk.size()));
  skipping_ -= skipped;
  return chunk.substr(skipped);
}

void JournalExportParser::finish() {
  if (hasFields_) endEntry();
  buffer_.clear();
  offset_ = 0;
  skipping_ = 0;
}

bool JournalExportParser::parseOne() {
  if (skipping_ > 0) return false;
  const std::string_view rest = std::string_view(buffer_).substr(offset_);
  const auto newline = rest.find('\n');
  if (newline == std::string_view::npos) return false;
  if (newline == 0) {
    ++offset_;
    if (hasFields_) endEntry();
    return true;
  }
  const std::string_view line = rest.substr(0, newline);
  if (const auto equals = line.find('='); equals != std::string_view::npos) {
    setField(line.substr(0, equals), line.substr(equals + 1));
    offset_ += newline + 1;
    return true;
  }
  // Binary field: KEY \n le64 size, data, \n.
  if (rest.size() < newline + 1 + 8) return false;
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(rest[newline + 1 + static_cast<std::size_t>(i)]);
  if (size > kMaxFieldBytes) {
    // Its bytes, and the newline after them, are passed over exactly: read
    // as lines, a payload could pose as fields or whole entries.
    offset_ += newline + 1 + 8;
    skipping_ = size == UINT64_MAX ? size : size + 1;
    hasFields_ = true;
    return true;
  }
  const std::size_t total = newline + 1 + 8 + static_cast<std::size_t>(size) + 1;
  if (rest.size() < total) return false;
  setField(line, rest.substr(newline + 1 + 8, static_cast<std::size_t>(size)));
  offset_ += total;
  return true;
}

void JournalExportParser::setField(std::string_view key, std::string_view value) {
  hasFields_ = true;
  JournalEntry& e = entry_;
  if (key == "MESSAGE") {
    e.message = validUtf8(value);
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

void JournalExportParser::endEntry() {
  JournalEntry entry = std::move(entry_);
  entry_ = JournalEntry{};
  hasFields_ = false;
  if (sink_) sink_(std::move(entry));
}

}  // namespace mf
