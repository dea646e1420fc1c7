#pragma once

// Decimal digits as an unsigned 64-bit number, for the places that read numbers from text
// (launch variables, simulated file ids) and must refuse rather than wrap or skip.

#include <cstdint>
#include <optional>
#include <string_view>

namespace morvane {

// At least one ASCII digit and nothing else (no sign, no spaces); nullopt past 2^64 - 1.
inline std::optional<std::uint64_t> parse_decimal_digits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace morvane
