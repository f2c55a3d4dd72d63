// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mf {

// A 128-bit identifier; Marrowfield only ever draws random (version 4) ones.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

  // Canonical lower-case 8-4-4-4-12 form.
  std::string toString() const;
  // Sets the version (4) and variant (RFC 4122) bits on 16 random bytes.
  static Uuid fromRandomBytes(std::array<std::uint8_t, 16> random);
};

struct UuidHash {
  std::size_t operator()(const Uuid& id) const noexcept;
};

}  // namespace mf
