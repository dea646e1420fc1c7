#include "capture_size.h"

#include <algorithm>
#include <cmath>

namespace morvane::streamer {

CaptureSize capture_size(std::int64_t display_width, std::int64_t display_height,
                         std::int64_t maximum_width) {
  // A zero-width display divides to infinity, which the 1.0 bound absorbs.
  const double scale =
      std::min(static_cast<double>(maximum_width) / static_cast<double>(display_width), 1.0);
  // llround rounds halves away from zero.
  const auto side = [scale](std::int64_t length) {
    return std::max<std::int64_t>(std::llround(static_cast<double>(length) * scale), 1);
  };
  return {side(display_width), side(display_height)};
}

}  // namespace morvane::streamer
