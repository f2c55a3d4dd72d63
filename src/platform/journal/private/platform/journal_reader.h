// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/journal_entry.h"

struct sd_journal;

namespace mf {

// The local journals this user may read, read in-process with libsystemd's
// sd-journal from a moment on, entry by entry as journald stores them. One
// thread at a time; it may be opened on one thread and read on another.
class JournalReader {
 public:
  JournalReader() = default;
  ~JournalReader();
  JournalReader(const JournalReader&) = delete;
  JournalReader& operator=(const JournalReader&) = delete;

  // Opens the journals and places the reader before the first entry journald
  // received at or after `sinceMicros` (wall clock). A readable reason when
  // that fails.
  std::optional<std::string> open(std::uint64_t sinceMicros);

  // The descriptor that becomes readable when journal files are added,
  // removed or written (journald coalesces the writes' notices for 250 ms),
  // and the events to poll it for; -1 when there is none.
  int fd() const { return fd_; }
  short events() const;
  // Takes in what the descriptor reported (files added by a rotation,
  // removed by a vacuum). A negative errno when the journal cannot be read.
  int process();
  // The next entry into `entry`: 1 when there was one, 0 at the end of what
  // journald has stored, a negative errno when the journal cannot be read.
  int next(JournalEntry& entry);

 private:
  bool alreadyRead();

  sd_journal* journal_ = nullptr;
  int fd_ = -1;
  // The last entry handed on, by journald's sequence: entries of the same
  // sequence come in its order, so one that does not come after it is one
  // already read (a rotated file seen again).
  std::string seqnumId_;
  std::uint64_t seqnum_ = 0;
};

}  // namespace mf
