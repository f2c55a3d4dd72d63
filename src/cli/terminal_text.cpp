// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal_text.h"

#include <cstdio>
#include <unistd.h>

namespace mf::cli {
namespace {

// The UTF-8 length of the bidirectional control at `i`, or 0.
std::size_t bidiControlLength(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
  if (at(0) == 0xD8 && at(1) == 0x9C) return 2;  // U+061C ARABIC LETTER MARK
  if (at(0) != 0xE2) return 0;
  const auto second = at(1);
  const auto third = at(2);
  if (second == 0x80 && (third == 0x8E || third == 0x8F || (third >= 0xAA && third <= 0xAE))) return 3;
  if (second == 0x81 && third >= 0xA6 && third <= 0xA9) return 3;
  return 0;
}

}  // namespace

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
    } else if (const std::size_t length = bidiControlLength(text, i); length > 0) {
      const unsigned point = length == 2 ? 0x061Cu
                                         : (0x2000u | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                                            (static_cast<unsigned char>(text[i + 2]) & 0x3Fu));
      std::snprintf(code, sizeof code, "\\u%04x", point);
      out += code;
      i += length - 1;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string indentContinuationLines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

std::string forOutput(std::string_view text) { return escapeControlCharacters(text); }

void printError(const std::string& line) {
  const std::string text = forOutput(indentContinuationLines(line) + "\n");
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace mf::cli
