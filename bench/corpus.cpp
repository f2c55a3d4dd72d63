// SPDX-License-Identifier: GPL-3.0-or-later
#include "corpus.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace mf::bench {
namespace {

constexpr std::array<std::string_view, 12> kAppMessages = {
    "Loaded configuration from /etc/demo/config.toml",
    "Starting worker pool with 8 threads",
    "Connecting to database at 127.0.0.1:5432",
    "error: failed to bind listener on port 8080 (address in use)",
    "warning: cache directory is not writable, falling back to memory",
    "open(\"/var/lib/demo/state.db\"): No such file or directory",
    "Permission denied while reading /etc/demo/secret.key",
    "Assertion failed: buffer != NULL (renderer.c:214)",
    "Frame 1842 rendered in 16.2 ms",
    "Received 4096 bytes from upstream",
    "Session token refreshed",
    "Fault detected in audio device, retrying",
};

constexpr std::array<std::string_view, 10> kFrameworkMessages = {
    "[com.apple.runningboard:assertion] Acquiring assertion for process",
    "(CoreFoundation) Loading Preferences From User CFPrefsD",
    "[com.apple.launchservices:open] LS database checked csstore",
    "transaction created for process, suddenTermination disabled",
    "(libsystem_info.dylib) Retrieve User by ID",
    "[com.apple.xpc.transaction:default] transaction released",
    "query=<private> result=<private>",
    "(AppKit) window server connection established",
    "[com.apple.CoreSpotlight:index] indexSearchableItems index batch",
    "(Metal) device selected: llvmpipe",
};

constexpr std::array<std::string_view, 8> kNonAscii = {
    "Benutzerprofil „Müller“ geladen — Größe 12 KiB",
    "Ошибка: не удалось открыть файл настроек",
    "設定ファイルを読み込めません: No such file or directory",
    "warning: ÉCHEC de la vérification du certificat",
    "Κατάσταση: σφάλμα σύνδεσης",
    "✅ ready in 120 ms 🚀",
    "İstanbul şubesi bağlantısı kuruldu",
    "naïve café résumé — déjà vu",
};

}  // namespace

CorpusGenerator::CorpusGenerator(std::uint64_t seed, CorpusMix mix)
    : state_(seed * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e019ULL), mix_(mix) {}

std::uint64_t CorpusGenerator::next() {
  // splitmix64: fast, and the same sequence on every machine.
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::string CorpusGenerator::nextLine() {
  ++counter_;
  const auto roll = static_cast<int>(pick(100));
  const unsigned seconds = static_cast<unsigned>(counter_ / 1000 % 86400);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "2026-12-06 %02u:%02u:%02u.%06u", seconds / 3600, seconds / 60 % 60,
                seconds % 60, static_cast<unsigned>(counter_ % 1000000));
  std::string line;
  line.reserve(160);
  if (roll < mix_.longLines) {
    line = std::string(stamp) + " E  demo[4242:1a2b] [com.example.demo:net] payload ";
    const std::size_t length = 1024 + pick(3072);
    while (line.size() < length) line += "0123456789abcdef ";
  } else if (roll < mix_.longLines + mix_.nonAsciiLines) {
    line = std::string(stamp) + " Df demo[4242:1a2b] [com.example.demo:ui] " +
           std::string(kNonAscii[pick(kNonAscii.size())]);
  } else if (roll < mix_.longLines + mix_.nonAsciiLines + mix_.journalLines) {
    line = "2026-12-06T12:34:56.";
    line += std::to_string(100000 + counter_ % 900000);
    line += "+0000 host demo[4242]: ";
    line += kAppMessages[pick(kAppMessages.size())];
  } else if (pick(3) == 0) {
    line = std::string(stamp) + " Df demo[4242:1a2b] [com.example.demo:general] " +
           std::string(kAppMessages[pick(kAppMessages.size())]);
  } else {
    line = std::string(stamp) + " Df demo[4242:1a2b] " +
           std::string(kFrameworkMessages[pick(kFrameworkMessages.size())]);
  }
  return line;
}

std::vector<std::string> CorpusGenerator::lines(std::size_t count) {
  std::vector<std::string> result;
  result.reserve(count);
  for (std::size_t i = 0; i < count; ++i) result.push_back(nextLine());
  return result;
}

std::string CorpusGenerator::text(std::size_t count) {
  std::string result;
  result.reserve(count * 130);
  for (std::size_t i = 0; i < count; ++i) {
    result += nextLine();
    result += '\n';
  }
  return result;
}

}  // namespace mf::bench
