#include "frame_scaler_linux.h"

#include <libyuv/scale_argb.h>

namespace morvane::streamer {

FrameScaler::FrameScaler(CaptureSize target)
    : target_(target), pixels_(static_cast<std::size_t>(target.width * target.height * 4)) {}

std::optional<BgraImage> FrameScaler::scale(const BgraImage& source) {
  if (source.width == target_.width && source.height == target_.height) return source;
  const auto bytes_per_row = static_cast<std::size_t>(target_.width) * 4;
  // libyuv's ARGB is the little-endian word, so its bytes in memory are B, G, R, A.
  const int failed = libyuv::ARGBScale(
      source.pixels, static_cast<int>(source.bytes_per_row), static_cast<int>(source.width),
      static_cast<int>(source.height), pixels_.data(), static_cast<int>(bytes_per_row),
      static_cast<int>(target_.width), static_cast<int>(target_.height), libyuv::kFilterBox);
  if (failed != 0) return std::nullopt;
  return BgraImage{pixels_.data(), target_.width, target_.height, bytes_per_row};
}

}  // namespace morvane::streamer
