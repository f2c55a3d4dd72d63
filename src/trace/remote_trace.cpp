// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace/remote_trace.h"

#include <array>
#include <cstdlib>

#include "model/event_list.h"
#include "text/unicode_text.h"

namespace mf {
namespace {

// Each line the check on the other side writes starts with it, so lines a
// shell start-up file there prints first are told apart.
constexpr std::string_view kMark = "marrowfield-remote ";

// One object of a line, flat: its members' values as text (strings
// unescaped, other values as written). What --json writes, read back.
class FlatObjectReader {
 public:
  explicit FlatObjectReader(std::string_view text) : text_(text) {}

  std::optional<std::map<std::string, std::string>> read() {
    std::map<std::string, std::string> members;
    skipBlanks();
    if (!take('{')) return std::nullopt;
    skipBlanks();
    if (take('}')) return members;
    for (;;) {
      skipBlanks();
      auto key = string();
      skipBlanks();
      if (!key || !take(':')) return std::nullopt;
      skipBlanks();
      std::optional<std::string> value;
      if (at_ < text_.size() && text_[at_] == '"') {
        value = string();
      } else {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != '}') ++at_;
        value = std::string(text_.substr(start, at_ - start));
        while (!value->empty() && (value->back() == ' ' || value->back() == '\t')) value->pop_back();
        if (value->empty() || value->front() == '{' || value->front() == '[') return std::nullopt;
      }
      if (!value) return std::nullopt;
      members[*key] = std::move(*value);
      skipBlanks();
      if (take('}')) break;
      if (!take(',')) return std::nullopt;
    }
    skipBlanks();
    if (at_ != text_.size()) return std::nullopt;
    return members;
  }

 private:
  void skipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) ++at_;
  }
  bool take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  std::optional<unsigned> hex4() {
    if (text_.size() - at_ < 4) return std::nullopt;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      value <<= 4;
      if (c >= '0' && c <= '9') value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') value |= static_cast<unsigned>(c - 'A' + 10);
      else return std::nullopt;
    }
    return value;
  }
  static void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c != '\\') {
        // Bytes that are not UTF-8 (whatever the other side sends) become
        // U+FFFD, as a local line's do: every later reader takes the text as UTF-8.
        if (static_cast<unsigned char>(c) < 0x80) out += c;
        else appendUtf8(out, static_cast<unsigned>(text::nextCodePoint(text_, --at_)));
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char escape = text_[at_++];
      switch (escape) {
        case '"': case '\\': case '/': out += escape; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto code = hex4();
          if (!code) return std::nullopt;
          if (*code >= 0xD800 && *code <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
            at_ += 2;
            const auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
          } else if (*code >= 0xD800 && *code <= 0xDFFF) {
            *code = 0xFFFD;
          }
          appendUtf8(out, *code);
          break;
        }
        default: return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

std::optional<EventType> typeNamed(const std::string& name) {
  if (name == "info") return EventType::info;
  if (name == "warning") return EventType::warning;
  if (name == "error") return EventType::error;
  if (name == "success") return EventType::success;
  return std::nullopt;
}

LineOrigin originNamed(const std::string& name) {
  for (const auto origin : {LineOrigin::journal, LineOrigin::standardOutput, LineOrigin::standardError}) {
    if (originName(origin) == name) return origin;
  }
  return LineOrigin::trace;
}

// The event's own id where it is one, so the ids there are the ids here.
Uuid idFrom(const std::string& text, std::uint64_t fallback) {
  Uuid id;
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '-') continue;
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (value < 0 || digits >= 32) return idFrom({}, fallback);
    id.bytes[digits / 2] = static_cast<std::uint8_t>(id.bytes[digits / 2] | (value << (digits % 2 ? 0 : 4)));
    ++digits;
  }
  if (digits == 32) return id;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(fallback >> (8 * i));
  return Uuid::fromRandomBytes(bytes);
}

// "+0200" in seconds east of UTC.
std::optional<int> offsetSeconds(const std::string& offset) {
  if (offset.size() != 5 || (offset[0] != '+' && offset[0] != '-')) return std::nullopt;
  for (std::size_t i = 1; i < 5; ++i) {
    if (offset[i] < '0' || offset[i] > '9') return std::nullopt;
  }
  const int seconds = std::atoi(offset.substr(1, 2).c_str()) * 3600 + std::atoi(offset.substr(3, 2).c_str()) * 60;
  return offset[0] == '-' ? -seconds : seconds;
}

// The number after `prefix` at the start of `text` up to the end or `stop`.
std::optional<int> numberAfter(std::string_view text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return std::nullopt;
  const std::string rest(text.substr(prefix.size()));
  char* end = nullptr;
  const long value = std::strtol(rest.c_str(), &end, 10);
  if (end == rest.c_str()) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

std::optional<std::map<std::string, std::string>> readJsonObject(std::string_view line) {
  return FlatObjectReader(line).read();
}

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

std::string remoteCommand(const std::vector<std::string>& traceArguments) {
  // $1 is the schema this side reads; the trace runs only when the
  // marrowfield-cli there writes it. `trace --schema` is older than no
  // release that writes JSON, so its absence means "too old".
  static constexpr const char* kScript =
      "if ! command -v marrowfield-cli >/dev/null 2>&1; then echo 'marrowfield-remote missing'; exit 127; fi\n"
      "echo \"marrowfield-remote zone $(date +%z)\"\n"
      "echo \"marrowfield-remote version $(marrowfield-cli --version 2>/dev/null)\"\n"
      "schema=$(marrowfield-cli trace --schema 2>/dev/null)\n"
      "echo \"marrowfield-remote schema $schema\"\n"
      "[ \"$schema\" = \"$1\" ] || exit 3\n"
      "shift\n"
      "exec marrowfield-cli trace --json --until-stdin-closes \"$@\"\n";
  // The login shell there may be any; `sh -c` gives the script the same
  // shell everywhere, and single quotes mean the same in all of them.
  std::string command = "exec sh -c " + shellQuoted(kScript) + " marrowfield-remote " + shellQuoted(std::string(kJsonSchema));
  for (const auto& arg : traceArguments) command += " " + shellQuoted(arg);
  return command;
}

std::string connectionLostText(const std::string& host, const std::string& reason) {
  return "Connection to " + host + " lost: " + reason;
}

RemoteTraceReader::Took RemoteTraceReader::takeLine(const std::string& line) {
  if (state_ == State::shellNoise) {
    if (!line.starts_with(kMark)) return Took::nothing;  // a start-up file's greeting
    state_ = State::check;
  }
  if (state_ == State::check) {
    if (line.starts_with(kMark)) {
      takeCheck(line.substr(kMark.size()));
      return Took::nothing;
    }
    state_ = State::trace;
  }
  if (line.find_first_not_of(" \t\r") == std::string::npos) return Took::nothing;
  const auto object = readJsonObject(line);
  const auto member = [&](const char* name) {
    const auto at = object ? object->find(name) : decltype(object->end()){};
    return object && at != object->end() ? at->second : std::string();
  };
  if (!object || member("schema") != kJsonSchema) {
    if (!malformed_) malformed_ = line.substr(0, 200);
    return Took::nothing;
  }
  const std::string kind = member("kind");
  if (kind == "trace" && !started_) {
    started_ = true;
    app_ = member("app");
    path_ = member("path");
    identifier_ = member("identifier");
    return Took::trace;
  }
  if (kind == "event" && started_ && !finished_) {
    const auto type = typeNamed(member("type"));
    if (!type) return Took::nothing;
    event_ = RemoteEvent{idFrom(member("id"), count_++), std::strtod(member("time").c_str(), nullptr), *type,
                         member("source"), member("message"), member("noise") == "true",
                         originNamed(member("origin"))};
    return Took::event;
  }
  if (kind == "verdict" && started_ && !finished_) {
    finished_ = true;
    return Took::verdict;
  }
  return Took::nothing;
}

void RemoteTraceReader::takeCheck(const std::string& said) {
  if (said == "missing") {
    missing_ = true;
  } else if (said.starts_with("zone ")) {
    utcOffset_ = offsetSeconds(said.substr(5));
  } else if (said.starts_with("version ")) {
    version_ = said.substr(8);
    if (version_.starts_with("marrowfield-cli ")) version_ = version_.substr(16);
  } else if (said.starts_with("schema ")) {
    schema_ = said.substr(7);
  }
}

std::string RemoteTraceReader::failure(const std::string& host, int status, const std::string& sshError) const {
  const std::string version = MARROWFIELD_VERSION;
  if (missing_) return host + " has no marrowfield-cli in the PATH of its shell: install marrowfield-cli " + version + " there";
  if (schema_ && *schema_ != kJsonSchema) {
    const std::string theirs = version_.empty() ? "an unknown version" : version_;
    const auto major = [](std::string_view schema) {
      return schema.starts_with("marrowfield-trace/") ? std::atol(std::string(schema.substr(18)).c_str()) : 0L;
    };
    if (major(*schema_) > major(kJsonSchema)) {
      return host + " has marrowfield-cli " + theirs + ", which writes " + *schema_ + ", newer than this marrowfield-cli " +
             version + " reads: install marrowfield-cli " + theirs + " here, or " + version + " there";
    }
    return host + " has marrowfield-cli " + theirs + ", which cannot write " + std::string(kJsonSchema) +
           ": install marrowfield-cli " + version + " there";
  }
  if (malformed_) return host + " answered with what is not marrowfield-cli trace output: " + *malformed_;
  if (status == 255) return "ssh could not reach " + host + (sshError.empty() ? "" : ": " + sshError);
  if (status == 2) return {};  // the trace there said why it could not start
  return "the trace on " + host + " ended before it began (status " + std::to_string(status) + ")";
}

TraceOutcome remoteOutcome(const EventList& events, const std::string& appName) {
  // From the end: "APP terminated" comes last, after the words that say how
  // it ended, if any; those words come only at a trace's end.
  bool terminated = false;
  for (std::size_t i = events.size(); i-- > 0;) {
    const EventView event = events[i];
    if (!terminated && event.source == "LAUNCH" && event.message.starts_with("Launch failed")) {
      return {TraceOutcome::Kind::launchFailed, 0};
    }
    if (!terminated && event.source == "SESSION" && event.message == "Trace stopped") return {};
    if (event.source != "PROCESS" && event.source != "CRASH") continue;
    if (auto pid = numberAfter(event.message, appName + " handed the launch to its running instance, PID ")) {
      return {TraceOutcome::Kind::handedOff, *pid};
    }
    if (auto signal = numberAfter(event.message, appName + " crashed: killed by signal ")) {
      return {TraceOutcome::Kind::crashed, *signal};
    }
    if (auto signal = numberAfter(event.message, appName + " was killed by signal ")) {
      return {TraceOutcome::Kind::killed, *signal};
    }
    if (auto code = numberAfter(event.message, appName + " exited with status ")) return {TraceOutcome::Kind::exited, *code};
    if (event.message == appName + " terminated") terminated = true;
  }
  return terminated ? TraceOutcome{TraceOutcome::Kind::exited, 0} : TraceOutcome{};
}

std::int32_t launchedPid(const RemoteEvent& event, const std::string& appName) {
  if (event.source != "PROCESS" || event.type != EventType::success) return 0;
  return numberAfter(event.message, appName + " launched with PID ").value_or(0);
}

}  // namespace mf
