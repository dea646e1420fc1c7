#include "frame_status.h"

namespace morvane::streamer {

bool frame_status_keeps_frame(const FrameStatusValue& status) {
  const auto* value = std::get_if<std::int64_t>(&status);
  if (value == nullptr) return true;
  return *value == static_cast<std::int64_t>(FrameStatus::complete) ||
         *value == static_cast<std::int64_t>(FrameStatus::started);
}

}  // namespace morvane::streamer
