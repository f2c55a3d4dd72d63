// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop-entry parser on arbitrary file contents: no crash, no hang,
// and what it accepts is sound. An accepted entry names a program; written
// back out with full quoting and escaping it parses to the same entry; the
// same file with CR LF line ends parses alike; a file is refused as not
// UTF-8 exactly when ICU finds it is not; an Exec without quotes,
// backslashes or %% leaves no % in any argument (every field code dropped).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "platform/desktop_entry.h"

namespace {

using mf::fuzz::mismatch;

// Escapes a value at the string level, so trimming and line ends cannot
// touch it.
std::string escapeValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case ' ': out += "\\s"; break;
      default: out += c;
    }
  }
  return out;
}

// One argument, double-quoted at the Exec level.
std::string quoteArgument(std::string_view arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '%') {
      out += "%%";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string writeEntry(const mf::DesktopEntry& e) {
  std::string exec;
  for (const auto& arg : e.exec) {
    if (!exec.empty()) exec += ' ';
    exec += quoteArgument(arg);
  }
  std::string text = "[Desktop Entry]\nType=" + escapeValue(e.type) + "\nExec=" + escapeValue(exec) + "\n";
  if (e.tryExec) text += "TryExec=" + escapeValue(*e.tryExec) + "\n";
  if (e.path) text += "Path=" + escapeValue(*e.path) + "\n";
  if (e.hidden) text += "Hidden=true\n";
  return text;
}

std::string describe(const mf::DesktopEntryParse& p) {
  if (!p.entry) return "error: " + p.error;
  std::string s = "type=" + p.entry->type + " argv=";
  for (const auto& a : p.entry->exec) s += "[" + a + "]";
  s += " tryexec=" + (p.entry->tryExec ? "[" + *p.entry->tryExec + "]" : std::string("none"));
  s += " path=" + (p.entry->path ? "[" + *p.entry->path + "]" : std::string("none"));
  s += p.entry->hidden ? " hidden" : "";
  return s;
}

bool sameEntry(const mf::DesktopEntryParse& a, const mf::DesktopEntryParse& b) {
  if (a.entry.has_value() != b.entry.has_value()) return false;
  if (!a.entry) return true;
  const auto& x = *a.entry;
  const auto& y = *b.entry;
  return x.type == y.type && x.exec == y.exec && x.tryExec == y.tryExec && x.path == y.path && x.hidden == y.hidden;
}

// `exec` is the value that was split, when known.
void checkArgv(const std::vector<std::string>& argv, std::optional<std::string_view> exec, std::string_view input) {
  if (argv.empty() || argv.front().empty()) mismatch("an accepted Exec names no program", input, exec.value_or(""), {});
  // Arguments of a valid file are whole characters.
  if (mf::isValidUtf8(input)) {
    for (const auto& arg : argv) {
      if (!mf::isValidUtf8(arg)) mismatch("an argument with a broken character", input, arg, {});
    }
  }
  const bool plain = exec && exec->find('"') == std::string_view::npos && exec->find('\\') == std::string_view::npos &&
                     exec->find("%%") == std::string_view::npos;
  if (plain) {
    for (const auto& arg : argv) {
      if (arg.find('%') != std::string::npos) mismatch("a field code left in argv", input, arg, *exec);
    }
  }
  // Written back with quotes, the arguments split to themselves.
  std::string quoted;
  for (const auto& arg : argv) {
    if (!quoted.empty()) quoted += ' ';
    quoted += quoteArgument(arg);
  }
  const auto again = mf::splitExec(quoted);
  if (!again || *again != argv) mismatch("splitExec of quoted arguments", input, quoted, exec.value_or(""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The whole input as a file.
  const mf::DesktopEntryParse parsed = mf::parseDesktopEntry(text);
  if (parsed.entry) {
    if (!parsed.error.empty()) mismatch("an entry with an error", text, parsed.error, {});
    checkArgv(parsed.entry->exec, std::nullopt, text);
    const std::string written = writeEntry(*parsed.entry);
    const mf::DesktopEntryParse reparsed = mf::parseDesktopEntry(written);
    if (!sameEntry(parsed, reparsed)) mismatch("a written entry parses differently", text, describe(reparsed), describe(parsed));
  } else if (parsed.error.empty()) {
    mismatch("rejected without a reason", text, {}, {});
  }

  // The parser's own UTF-8 check agrees with ICU's decoder.
  const bool rejectedAsUtf8 = parsed.error == "the desktop entry is not valid UTF-8";
  if (rejectedAsUtf8 == mf::isValidUtf8(text)) {
    mismatch("UTF-8 validity", text, rejectedAsUtf8 ? "rejected" : "accepted", {});
  }

  // CR LF line ends change nothing.
  if (text.find('\r') == std::string_view::npos) {
    std::string crlf;
    for (char c : text) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    const mf::DesktopEntryParse parsedCrlf = mf::parseDesktopEntry(crlf);
    if (!sameEntry(parsed, parsedCrlf)) mismatch("CR LF line ends", text, describe(parsedCrlf), describe(parsed));
  }

  // The input as an Exec value on its own, before and after unescaping.
  for (const std::string& exec : {std::string(text), mf::unescapeDesktopString(text)}) {
    std::string error;
    const auto argv = mf::splitExec(exec, &error);
    if (argv) {
      checkArgv(*argv, exec, text);
    } else if (error.empty()) {
      mismatch("splitExec failed without a reason", text, exec, {});
    }
  }
  return 0;
}
