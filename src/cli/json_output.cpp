// SPDX-License-Identifier: GPL-3.0-or-later
#include "json_output.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <limits>
#include <map>

namespace mf::cli {
namespace {

std::string_view typeName(EventType type) {
  switch (type) {
    case EventType::info: return "info";
    case EventType::warning: return "warning";
    case EventType::error: return "error";
    case EventType::success: return "success";
  }
  return "info";
}

// Length of the valid UTF-8 sequence at `at`, or 0.
std::size_t utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned min = 0;
  unsigned code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string timeText(double time) {
  // A host may send any number: outside the years 0000 to 9999, which a date
  // of four digits can say, or not a number at all, there is no date.
  if (!(time >= -62167219200.0 && time < 253402300800.0)) return "1970-01-01T00:00:00.000000Z";
  char text[64];
  const double whole = std::floor(time);
  long micros = std::lround((time - whole) * 1e6);
  std::time_t seconds = static_cast<std::time_t>(whole);
  if (micros >= 1000000) micros -= 1000000, ++seconds;
  std::tm utc{};
  if (gmtime_r(&seconds, &utc) == nullptr) return "1970-01-01T00:00:00.000000Z";
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micros);
  return text;
}

std::string number(double value) {
  // A sign, 309 digits, the point, 6 decimals and the end: -DBL_MAX whole.
  char text[std::numeric_limits<double>::max_exponent10 + 10];
  std::snprintf(text, sizeof text, "%.6f", std::isfinite(value) ? value : 0.0);
  return text;
}

std::string head(std::string_view kind) {
  return "{\"schema\":" + jsonString(kJsonSchema) + ",\"kind\":" + jsonString(kind);
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8Length(text, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

std::string traceJson(std::string_view app, std::string_view path, std::string_view identifier,
                      std::optional<std::string_view> host) {
  return head("trace") + ",\"app\":" + jsonString(app) + ",\"path\":" + jsonString(path) +
         ",\"identifier\":" + jsonString(identifier) + (host ? ",\"host\":" + jsonString(*host) : std::string()) + "}";
}

std::string eventJson(const EventView& event, std::optional<bool> isNew) {
  const auto sender = senderOf(event);
  std::string out = head("event");
  out += ",\"id\":" + jsonString(event.id->toString());
  out += ",\"time\":" + number(event.time);
  out += ",\"utc\":" + jsonString(timeText(event.time));
  out += ",\"type\":" + jsonString(typeName(event.type));
  out += ",\"source\":" + jsonString(event.source);
  out += std::string(",\"noise\":") + (event.isRoutineNoise ? "true" : "false");
  out += ",\"origin\":" + jsonString(originName(event.origin));
  out += ",\"pid\":" + (sender && sender->pid ? std::to_string(*sender->pid) : std::string("null"));
  out += ",\"identifier\":" + (sender ? jsonString(sender->identifier) : std::string("null"));
  out += ",\"message\":" + jsonString(event.message);
  out += std::string(",\"new\":") + (!isNew ? "null" : *isNew ? "true" : "false");
  return out + "}";
}

std::string verdictJson(const Verdict& verdict, const EventList& events, const std::optional<NoveltyCounts>& news) {
  std::string out = head("verdict");
  out += ",\"verdict\":" + jsonString(verdictKindName(verdict.kind));
  out += ",\"text\":" + jsonString(verdict.text);
  out += ",\"event\":" +
         (verdict.event && *verdict.event < events.size() ? jsonString(events[*verdict.event].id->toString())
                                                          : std::string("null"));
  const auto count = [&](std::size_t NoveltyCounts::*member) {
    return news ? std::to_string((*news).*member) : std::string("null");
  };
  out += ",\"newEvents\":" + count(&NoveltyCounts::events);
  out += ",\"newErrors\":" + count(&NoveltyCounts::errors);
  out += ",\"newWarnings\":" + count(&NoveltyCounts::warnings);
  return out + "}";
}

JsonTraceWriter::JsonTraceWriter(const ContentView& view, std::optional<Baseline> baseline)
    : view_(view), baseline_(std::move(baseline)) {}

void JsonTraceWriter::onChange(const Change& change) {
  if (change.has(Change::eventsReplaced)) writeNewEvents(0);
  else if (change.has(Change::eventsInserted)) writeNewEvents(change.firstChangedEvent);
}

void JsonTraceWriter::writeNewEvents(std::size_t from) {
  std::string out;
  if (!startedTrace_ && view_.selectedAppURL()) {
    startedTrace_ = true;
    out += traceJson(view_.selectedAppName(), *view_.selectedAppURL(), view_.selectedBundleIdentifier()) + "\n";
  }
  const EventList& events = view_.events();
  for (std::size_t i = from; i < events.size(); ++i) {
    const EventView event = events[i];
    if (!written_.insert(*event.id).second) continue;
    std::optional<bool> isNew;
    if (baseline_) isNew = baseline_->isNew(event.message);
    out += eventJson(event, isNew) + "\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

bool JsonTraceWriter::finish() {
  writeNewEvents(0);
  std::optional<NoveltyCounts> news;
  if (baseline_) news = countNew(view_.events(), *baseline_);
  const std::string out = verdictJson(judgeTrace(view_.events()), view_.events(), news) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

std::optional<Baseline> readBaseline(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "marrowfield-cli trace: --baseline " + path + " cannot be read";
    return std::nullopt;
  }
  Baseline baseline;
  std::string line;
  std::size_t number = 0;
  bool sawTrace = false;
  while (std::getline(file, line)) {
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const auto members = readJsonObject(line);
    const auto schema = members ? members->find("schema") : decltype(members->end()){};
    if (!members || schema == members->end() || schema->second.rfind("marrowfield-trace/", 0) != 0) {
      error = "marrowfield-cli trace: --baseline " + path + ":" + std::to_string(number) +
              ": not a line of marrowfield-cli trace --json output";
      return std::nullopt;
    }
    sawTrace = true;
    const auto kind = members->find("kind");
    const auto message = members->find("message");
    if (kind != members->end() && kind->second == "event" && message != members->end()) baseline.add(message->second);
  }
  if (!sawTrace) {
    error = "marrowfield-cli trace: --baseline " + path + " holds no marrowfield-cli trace --json output";
    return std::nullopt;
  }
  return baseline;
}

}  // namespace mf::cli
