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

std::optional<std::vector<std::string>> splitExec(std::string_view exec, std::string* error) {
  auto fail = [&](const char* why) -> std::optional<std::vector<std::string>> {
    if (error) *error = why;
    return std::nullopt;
  };
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;     // something (maybe an empty quoted "") started
  bool hadFieldCode = false;   // the argument held a field code that was dropped
  bool hadOtherText = false;   // ...or anything else, quotes included
  auto endArgument = [&] {
    // An argument that was nothing but field codes disappears with them.
    if (inArgument && !(hadFieldCode && !hadOtherText && current.empty())) args.push_back(current);
    current.clear();
    inArgument = hadFieldCode = hadOtherText = false;
  };

  std::size_t i = 0;
  while (i < exec.size()) {
    const char c = exec[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      endArgument();
      ++i;
    } else if (c == '"') {
      inArgument = hadOtherText = true;
      ++i;
      bool closed = false;
      while (i < exec.size()) {
        const char q = exec[i];
        if (q == '"') {
          closed = true;
          ++i;
          break;
        }
        if (q == '\\' && i + 1 < exec.size()) {
          // Inside quotes a backslash escapes the next character (the
          // standard names " ` $ and \; a lenient reader accepts any).
          current.push_back(exec[i + 1]);
          i += 2;
          continue;
        }
        // Field codes are not expanded inside quotes, except %% for a literal.
        if (q == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
          current.push_back('%');
          i += 2;
          continue;
        }
        current.push_back(q);
        ++i;
      }
      if (!closed) return fail("unterminated quote in Exec");
    } else if (c == '%') {
      if (i + 1 == exec.size()) return fail("a lone % at the end of Exec");
      const char code = exec[i + 1];
      i += 2;
      // A code that is not ASCII goes as a whole character: taking only its
      // first byte would leave the rest of it, broken, in the argument.
      if (static_cast<unsigned char>(code) >= 0xC0) {
        while (i < exec.size() && (static_cast<unsigned char>(exec[i]) & 0xC0) == 0x80) ++i;
      }
      inArgument = true;
      if (code == '%') {
        current.push_back('%');
        hadOtherText = true;
      } else {
        // %f %F %u %U %i %c %k, the deprecated %d %D %n %N %v %m and any
        // unknown code: nothing to substitute when starting without files.
        hadFieldCode = true;
      }
    } else if (c == '\\' && i + 1 < exec.size()) {
      current.push_back(exec[i + 1]);
      inArgument = hadOtherText = true;
      i += 2;
    } else {
      current.push_back(c);
      inArgument = hadOtherText = true;
      ++i;
    }
  }
  endArgument();
  if (args.empty() || args.front().empty()) return fail("Exec names no program");
  return args;
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
