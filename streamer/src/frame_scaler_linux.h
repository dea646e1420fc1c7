#pragma once

// Scaling captured frames on the stand-in.

#include <cstdint>
#include <optional>
#include <vector>

#include "capture_interfaces.h"

namespace morvane::streamer {

// Scales captured frames to the capture size into one reused buffer.
class FrameScaler {
 public:
  explicit FrameScaler(CaptureSize target);

  // The frame at the target size, valid until the next call; a source already at that size
  // is passed through untouched. Nothing when the scaler rejects the sizes.
  std::optional<BgraImage> scale(const BgraImage& source);

 private:
  CaptureSize target_;
  std::vector<std::uint8_t> pixels_;
};

}  // namespace morvane::streamer
