#pragma once

// The size frames are captured at, from the display and the width limit.

#include <cstdint>

namespace morvane::streamer {

struct CaptureSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const CaptureSize&, const CaptureSize&) = default;
};

// The display scaled down to at most `maximum_width`, never up, each side at least 1.
CaptureSize capture_size(std::int64_t display_width, std::int64_t display_height,
                         std::int64_t maximum_width);

}  // namespace morvane::streamer
