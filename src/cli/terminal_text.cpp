#include "terminal_text.h"

#include <cstdio>
#include <unistd.h>

namespace mf::cli {

std::string escapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char code[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      out += code;
    } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      out += code;
      ++i;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

std::string forOutput(int fd, std::string text) {
  return isTerminal(fd) ? escapeControlCharacters(text) : std::move(text);
}

}  // namespace mf::cli
