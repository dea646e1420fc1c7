#pragma once

// A sample's frame status, read from its attachments.

#include <cstdint>
#include <variant>

namespace morvane::streamer {

enum class FrameStatus : std::int64_t {
  complete = 0,
  idle = 1,
  blank = 2,
  suspended = 3,
  started = 4,
  stopped = 5,
};

// No attachments, an empty first dictionary, or no status key in it.
struct NoFrameStatus {};
// A status key whose value is not an integer.
struct NonIntegerFrameStatus {};

// What a sample carries under the frame status key of its first attachment dictionary.
using FrameStatusValue = std::variant<NoFrameStatus, NonIntegerFrameStatus, std::int64_t>;

// Only complete and started frames carry new pixels; a frame without a usable status is kept.
bool frame_status_keeps_frame(const FrameStatusValue& status);

}  // namespace morvane::streamer
