// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop_entry.h"

#include "text/utf8.h"

namespace mf {
namespace {

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string unescapeDesktopString(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    switch (value[++i]) {
      case 's': out.push_back(' '); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case '\\': out.push_back('\\'); break;
      default:
        // Not a string escape: keep it for the Exec quoting rules (\" \$ \`).
        out.push_back('\\');
        out.push_back(value[i]);
    }
  }
  return out;
}

namespace {

using Arguments = std::optional<std::vector<std::string>>;

Arguments fail(std::string* error, const char* why) {
  if (error) *error = why;
  return std::nullopt;
}

// One walk over an Exec value: the arguments so far and the one being read.
class ExecSplitter {
 public:
  explicit ExecSplitter(std::string_view exec) : exec_(exec) {}

  Arguments run(std::string* error) {
    while (i_ < exec_.size()) {
      const char c = exec_[i_];
      if (c == ' ' || c == '\t' || c == '\n') {
        endArgument();
        ++i_;
      } else if (c == '"') {
        if (!readQuoted()) return fail(error, "unterminated quote in Exec");
      } else if (c == '%') {
        if (!readFieldCode()) return fail(error, "a lone % at the end of Exec");
      } else {
        readCharacter();
      }
    }
    endArgument();
    if (args_.empty() || args_.front().empty()) return fail(error, "Exec names no program");
    return std::move(args_);
  }

 private:
  void endArgument() {
    // An argument that was nothing but field codes disappears with them.
    if (inArgument_ && !(hadFieldCode_ && !hadOtherText_ && current_.empty())) args_.push_back(current_);
    current_.clear();
    inArgument_ = hadFieldCode_ = hadOtherText_ = false;
  }

  // From an opening quote past its closing one; false when it is never closed.
  bool readQuoted() {
    inArgument_ = hadOtherText_ = true;
    ++i_;
    while (i_ < exec_.size()) {
      const char q = exec_[i_];
      if (q == '"') {
        ++i_;
        return true;
      }
      if (q == '\\' && i_ + 1 < exec_.size()) {
        // Inside quotes a backslash escapes the next character (the
        // standard names " ` $ and \; a lenient reader accepts any).
        current_.push_back(exec_[i_ + 1]);
        i_ += 2;
        continue;
      }
      // Field codes are not expanded inside quotes, except %% for a literal.
      if (q == '%' && i_ + 1 < exec_.size() && exec_[i_ + 1] == '%') {
        current_.push_back('%');
        i_ += 2;
        continue;
      }
      current_.push_back(q);
      ++i_;
    }
    return false;
  }

  // A % and its code; false for a lone % at the end.
  bool readFieldCode() {
    if (i_ + 1 == exec_.size()) return false;
    const char code = exec_[i_ + 1];
    i_ += 2;
    // A code that is not ASCII goes as a whole character: taking only its
    // first byte would leave the rest of it, broken, in the argument.
    if (static_cast<unsigned char>(code) >= 0xC0) {
      while (i_ < exec_.size() && (static_cast<unsigned char>(exec_[i_]) & 0xC0) == 0x80) ++i_;
    }
    inArgument_ = true;
    if (code == '%') {
      current_.push_back('%');
      hadOtherText_ = true;
    } else {
      // %f %F %u %U %i %c %k, the deprecated %d %D %n %N %v %m and any
      // unknown code: nothing to substitute when starting without files.
      hadFieldCode_ = true;
    }
    return true;
  }

  // A plain character, or the one a backslash escapes.
  void readCharacter() {
    if (exec_[i_] == '\\' && i_ + 1 < exec_.size()) {
      current_.push_back(exec_[i_ + 1]);
      i_ += 2;
    } else {
      current_.push_back(exec_[i_]);
      ++i_;
    }
    inArgument_ = hadOtherText_ = true;
  }

  std::string_view exec_;
  std::size_t i_ = 0;
  std::vector<std::string> args_;
  std::string current_;
  bool inArgument_ = false;     // something (maybe an empty quoted "") started
  bool hadFieldCode_ = false;   // the argument held a field code that was dropped
  bool hadOtherText_ = false;   // ...or anything else, quotes included
};

}  // namespace

std::optional<std::vector<std::string>> splitExec(std::string_view exec, std::string* error) {
  return ExecSplitter(exec).run(error);
}

DesktopEntryParse parseDesktopEntry(std::string_view text) {
  DesktopEntryParse result;
  if (!isValidUtf8(text)) {
    result.error = "the desktop entry is not valid UTF-8";
    return result;
  }
  DesktopEntry entry;
  bool inMainGroup = false;
  bool sawMainGroup = false;
  std::optional<std::string> execValue;
  std::size_t lineStart = 0;
  while (lineStart <= text.size()) {
    std::size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    const std::string_view line = trimBlanks(text.substr(lineStart, lineEnd - lineStart));
    lineStart = lineEnd + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      const bool isMain = line == "[Desktop Entry]";
      if (isMain && sawMainGroup) {
        result.error = "the desktop entry has two [Desktop Entry] groups";
        return result;
      }
      inMainGroup = isMain;
      sawMainGroup = sawMainGroup || isMain;
      continue;
    }
    if (!inMainGroup) continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimBlanks(line.substr(0, equals));
    const std::string value = unescapeDesktopString(trimBlanks(line.substr(equals + 1)));
    // First occurrence wins, as in most launchers; localised keys (Exec[de])
    // do not exist for these entries and are ignored.
    if (key == "Type" && entry.type.empty()) {
      entry.type = value;
    } else if (key == "Name" && entry.name.empty()) {
      entry.name = value;
    } else if (key == "Exec" && !execValue) {
      execValue = value;
    } else if (key == "TryExec" && !entry.tryExec) {
      entry.tryExec = value;
    } else if (key == "Path" && !entry.path) {
      if (!value.empty()) entry.path = value;
    } else if (key == "Hidden") {
      entry.hidden = value == "true";
    }
  }
  if (!sawMainGroup) {
    result.error = "no [Desktop Entry] group";
    return result;
  }
  if (entry.type != "Application") {
    result.error = entry.type.empty() ? "the desktop entry has no Type" : "the desktop entry is not of Type=Application";
    return result;
  }
  if (!execValue) {
    result.error = "the desktop entry has no Exec";
    return result;
  }
  std::string splitError;
  auto argv = splitExec(*execValue, &splitError);
  if (!argv) {
    result.error = "invalid Exec: " + splitError;
    return result;
  }
  entry.exec = std::move(*argv);
  result.entry = std::move(entry);
  return result;
}

}  // namespace mf
