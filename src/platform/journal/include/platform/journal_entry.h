// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
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

// A message is kept to this many bytes, as a stdout line is: a program may
// send the journal a message of hundreds of MiB.
inline constexpr std::size_t kMaxJournalMessageBytes = std::size_t{1} << 20;
// A message as the trace keeps it: valid UTF-8 (see validUtf8), and when
// `bytes` is longer than kMaxJournalMessageBytes, its start, cut between
// characters, and " … [N bytes cut]" (N counted from `bytes`), or " … [cut
// at 1 MiB]" where `sizeKnown` is false: `bytes` is then only the start of
// a longer message whose length the journal did not say.
std::string boundedMessage(std::string_view bytes, bool sizeKnown = true);

// The fields a trace reads, by name; every other field of an entry is left
// in the journal unread.
bool isJournalFieldRead(std::string_view key);
// Sets the member of `entry` that the field `key` fills (see JournalEntry);
// other keys are ignored. A number that does not parse counts as absent.
void setJournalField(JournalEntry& entry, std::string_view key, std::string_view value);

// Replaces every byte sequence that is not valid UTF-8 by U+FFFD.
std::string validUtf8(std::string_view bytes);

}  // namespace mf
