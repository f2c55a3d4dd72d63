// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace mf {

// The fields of one journal entry that a trace reads. Numbers are 0 and
// texts empty where the entry has no such field.
struct JournalEntry {
  std::uint64_t realtimeMicros = 0;  // __REALTIME_TIMESTAMP: when journald received it
  std::uint64_t sourceRealtimeMicros = 0;  // _SOURCE_REALTIME_TIMESTAMP: when the sender wrote it, where known
  std::string message;               // MESSAGE, valid UTF-8 (invalid bytes as U+FFFD)
  int priority = -1;                 // PRIORITY 0-7, -1 when absent or malformed
  std::int32_t pid = 0;              // _PID: the sender as journald saw it
  std::int32_t syslogPid = 0;        // SYSLOG_PID: the pid the sender claims
  std::int64_t uid = -1;             // _UID: the sender's user as journald saw it, -1 when absent
  std::string streamId;              // _STREAM_ID: the stdout/stderr stream a line came through
  std::string identifier;            // SYSLOG_IDENTIFIER
  std::string comm;                  // _COMM
  std::string exe;                   // _EXE
  std::string transport;             // _TRANSPORT: journal, syslog, stdout, driver, kernel, audit
  std::string glibDomain;            // GLIB_DOMAIN
  std::string userUnit;              // _SYSTEMD_USER_UNIT
  std::string messageId;             // MESSAGE_ID
  std::int32_t coredumpPid = 0;      // COREDUMP_PID
  std::string coredumpUnit;          // COREDUMP_USER_UNIT, else COREDUMP_UNIT
  std::string coredumpComm;          // COREDUMP_COMM
  std::string auditId;               // _AUDIT_ID: an audit record's serial (audit transport)
};

// The fields journalctl is asked to print; everything else of an entry is
// left in the journal.
std::string_view journalExportFields();

// Reads `journalctl --output=export` chunk by chunk: KEY=value lines, binary
// values as KEY, a newline, a 64-bit little-endian length, the bytes and a
// newline; an empty line ends an entry. Chunks may cut anywhere.
class JournalExportParser {
 public:
  using EntrySink = std::function<void(JournalEntry&&)>;
  explicit JournalExportParser(EntrySink sink) : sink_(std::move(sink)) {}

  void feed(std::string_view chunk);
  // End of stream: an entry cut short is delivered with what it has.
  void finish();

 private:
  // Parses what buffer_ holds from offset_ on; false when it needs more.
  bool parseOne();
  // What of `chunk` is left after the rest of a skipped field.
  std::string_view skipPast(std::string_view chunk);
  void setField(std::string_view key, std::string_view value);
  void endEntry();

  EntrySink sink_;
  std::string buffer_;
  std::size_t offset_ = 0;
  JournalEntry entry_;
  bool hasFields_ = false;
  std::uint64_t skipping_ = 0;  // bytes of an oversized field still to pass over
};

// Replaces every byte sequence that is not valid UTF-8 by U+FFFD.
std::string validUtf8(std::string_view bytes);

}  // namespace mf
