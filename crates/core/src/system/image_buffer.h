#pragma once

// The strict PNG header rule: signature, IHDR and the pixel budget.

#include <cstdint>
#include <optional>
#include <utility>

#include "system/bytes.h"

namespace morvane {

// 2^26: the largest image, in pixels, that the clipboard accepts.
inline constexpr std::uint64_t MAX_PNG_PIXELS = 67'108'864;

struct PngDimensions {
  std::uint32_t width;
  std::uint32_t height;
  friend bool operator==(const PngDimensions&, const PngDimensions&) = default;
};

// Strict check of the PNG signature and IHDR header; reads at most the first 29 bytes.
std::optional<PngDimensions> parse_png_dimensions(ByteView bytes);

}  // namespace morvane
