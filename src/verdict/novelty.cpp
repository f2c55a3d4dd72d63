// SPDX-License-Identifier: GPL-3.0-or-later
#include "verdict/novelty.h"

#include <array>

namespace mf {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isWordByte(char c) {
  return isHexDigit(c) || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '_' ||
         (static_cast<unsigned char>(c) & 0x80) != 0;
}
// A path ends where the text around it resumes.
bool endsPath(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '"' || c == '\'' || c == ')' || c == ']' || c == ',' || c == ';' ||
         c == '>';
}

// Where programs make names that change from run to run.
constexpr std::array<std::string_view, 4> kTemporaryFolders{"/tmp/", "/var/tmp/", "/dev/shm/", "/run/user/"};
// A hex run this long with a digit in it is an id or an address, not a word.
constexpr std::size_t kHexIdLength = 8;

// 8-4-4-4-12 hex digits, as UUIDs and D-Bus ids are written.
constexpr std::size_t kUuidLength = 36;
bool isUuidAt(std::string_view text, std::size_t at) {
  if (text.size() - at < kUuidLength) return false;
  for (std::size_t k = 0; k < kUuidLength; ++k) {
    const bool dash = k == 8 || k == 13 || k == 18 || k == 23;
    if (dash ? text[at + k] != '-' : !isHexDigit(text[at + k])) return false;
  }
  return at + kUuidLength == text.size() || !isWordByte(text[at + kUuidLength]);
}

}  // namespace

std::string maskedMessage(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  std::size_t i = 0;
  while (i < message.size()) {
    const char c = message[i];
    const bool atWordStart = i == 0 || !isWordByte(message[i - 1]);
    if (c == '/' && (i == 0 || endsPath(message[i - 1]) || message[i - 1] == '(' || message[i - 1] == '=' ||
                     message[i - 1] == ':')) {
      bool temporary = false;
      for (const auto folder : kTemporaryFolders) temporary = temporary || message.substr(i, folder.size()) == folder;
      if (temporary) {
        // "open /tmp/x: refused": a colon that ends the path ends a clause.
        while (i < message.size() && !endsPath(message[i]) &&
               !(message[i] == ':' && (i + 1 == message.size() || message[i + 1] == ' '))) {
          ++i;
        }
        out += "<tmp>";
        continue;
      }
    }
    if (atWordStart && c == '0' && i + 2 < message.size() && (message[i + 1] == 'x' || message[i + 1] == 'X') &&
        isHexDigit(message[i + 2])) {
      i += 2;
      while (i < message.size() && isHexDigit(message[i])) ++i;
      out += '#';
      continue;
    }
    if (atWordStart && isUuidAt(message, i)) {
      out += '#';
      i += kUuidLength;
      continue;
    }
    if (isHexDigit(c)) {
      std::size_t end = i;
      bool hasDigit = false;
      for (; end < message.size() && isHexDigit(message[end]); ++end) {
        if (isDigit(message[end])) hasDigit = true;
      }
      if (atWordStart && hasDigit && end - i >= kHexIdLength && (end == message.size() || !isWordByte(message[end]))) {
        out += '#';
        i = end;
        continue;
      }
      // Within the run, numbers only.
      while (i < end) {
        if (isDigit(message[i])) {
          while (i < end && isDigit(message[i])) ++i;
          out += '#';
        } else {
          out += message[i++];
        }
      }
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

Baseline::Baseline(const EventList& events) {
  for (std::size_t i = 0; i < events.size(); ++i) add(events[i].message);
}

NoveltyCounts countNew(const EventList& events, const Baseline& baseline) {
  NoveltyCounts counts;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventView event = events[i];
    if (!baseline.isNew(event.message)) continue;
    ++counts.events;
    if (event.isRoutineNoise) continue;
    if (event.type == EventType::error) ++counts.errors;
    if (event.type == EventType::warning) ++counts.warnings;
  }
  return counts;
}

std::string noveltyText(const NoveltyCounts& counts, std::string_view since) {
  const auto counted = [](std::size_t count, std::string_view what) {
    return std::to_string(count) + " new " + std::string(what) + (count == 1 ? "" : "s");
  };
  std::string text;
  if (counts.errors > 0) text = counted(counts.errors, "error");
  if (counts.warnings > 0) text += (text.empty() ? "" : ", ") + counted(counts.warnings, "warning");
  if (text.empty() && counts.events > 0) text = counted(counts.events, "event");
  if (text.empty()) return "Nothing new since " + std::string(since);
  return text + " since " + std::string(since);
}

}  // namespace mf
