// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/uuid.h"

#include <cstring>

namespace mf {

std::string Uuid::toString() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0f]);
  }
  return text;
}

Uuid Uuid::fromRandomBytes(std::array<std::uint8_t, 16> random) {
  random[6] = static_cast<std::uint8_t>((random[6] & 0x0f) | 0x40);
  random[8] = static_cast<std::uint8_t>((random[8] & 0x3f) | 0x80);
  return Uuid{random};
}

std::size_t UuidHash::operator()(const Uuid& id) const noexcept {
  // The bytes are random already; folding them is as good as any mixing.
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::memcpy(&high, id.bytes.data(), 8);
  std::memcpy(&low, id.bytes.data() + 8, 8);
  return static_cast<std::size_t>(high ^ (low * 0x9e3779b97f4a7c15ULL));
}

}  // namespace mf
