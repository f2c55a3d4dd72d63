// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_reader.h"

#include <charconv>
#include <cstdlib>
#include <poll.h>
#include <systemd/sd-journal.h>

#include "platform/system_calls.h"

namespace mf {
namespace {

// Data larger than this is not decompressed further: a message past it is
// cut anyway, and one byte more tells that it was longer. (A hint only:
// Debian 12's sd-journal, systemd 252, hands back compressed fields whole
// too.) The threshold counts the field's name too.
constexpr std::size_t kDataThreshold = kMaxJournalMessageBytes + 64;

}  // namespace

JournalReader::~JournalReader() {
  if (journal_) sd_journal_close(journal_);
}

std::optional<std::string> JournalReader::open(std::uint64_t sinceMicros) {
  // Local only: entries of other machines (containers' journals) are not
  // the target's. sd-journal opens the files this user may read and skips
  // the others.
  int result = sd_journal_open(&journal_, SD_JOURNAL_LOCAL_ONLY);
  if (result >= 0) result = sd_journal_set_data_threshold(journal_, kDataThreshold);
  if (result >= 0) result = fd_ = sd_journal_get_fd(journal_);
  if (result >= 0) result = sd_journal_seek_realtime_usec(journal_, sinceMicros);
  if (result < 0) {
    if (journal_) sd_journal_close(journal_);
    journal_ = nullptr;
    fd_ = -1;
    return "the systemd journal cannot be opened: " + os::errorText(-result);
  }
  return std::nullopt;
}

short JournalReader::events() const {
  const int events = journal_ ? sd_journal_get_events(journal_) : -1;
  return static_cast<short>(events > 0 ? events : POLLIN);
}

int JournalReader::process() {
  const int result = sd_journal_process(journal_);
  return result < 0 ? result : 0;
}

bool JournalReader::alreadyRead() {
  // The cursor begins "s=<sequence id>;i=<sequence number in hex>;".
  char* cursor = nullptr;
  if (sd_journal_get_cursor(journal_, &cursor) < 0 || !cursor) return false;
  const std::string_view text(cursor);
  bool seen = false;
  const auto semicolon = text.find(';');
  if (text.starts_with("s=") && semicolon != std::string_view::npos && text.substr(semicolon + 1).starts_with("i=")) {
    const std::string_view id = text.substr(2, semicolon - 2);
    const std::string_view rest = text.substr(semicolon + 3);
    std::uint64_t seqnum = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), seqnum, 16);
    if (error == std::errc()) {
      seen = id == seqnumId_ && seqnum <= seqnum_;
      if (!seen) {
        seqnumId_ = id;
        seqnum_ = seqnum;
      }
    }
  }
  std::free(cursor);
  return seen;
}

int JournalReader::next(JournalEntry& entry) {
  for (;;) {
    const int moved = sd_journal_next(journal_);
    if (moved <= 0) return moved;
    // A file that rotation renamed is opened again under its new name; its
    // entries read already come after nothing new.
    if (alreadyRead()) continue;
    entry = JournalEntry{};
    std::uint64_t realtime = 0;
    if (sd_journal_get_realtime_usec(journal_, &realtime) >= 0) entry.realtimeMicros = realtime;
    sd_journal_restart_data(journal_);
    const void* data = nullptr;
    std::size_t length = 0;
    int got = 0;
    while ((got = sd_journal_enumerate_available_data(journal_, &data, &length)) > 0) {
      const std::string_view field(static_cast<const char*>(data), length);
      const auto equals = field.find('=');
      if (equals == std::string_view::npos) continue;
      const std::string_view key = field.substr(0, equals);
      const std::string_view value = field.substr(equals + 1);
      if (key == "MESSAGE") {
        // A value of exactly the threshold is a compressed one cut there (by
        // a library that applies it); an uncompressed one comes whole.
        entry.message = boundedMessage(value, length != kDataThreshold);
      } else if (isJournalFieldRead(key)) {
        setJournalField(entry, key, value);
      }
    }
    if (got < 0) return got;
    return 1;
  }
}

}  // namespace mf
