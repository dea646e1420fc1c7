#pragma once

// The capture set-up: the first display, the stream's configuration and its start.

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "capture_interfaces.h"
#include "frame_output.h"
#include "options.h"

namespace morvane::streamer {

// What keeps the capture alive; the stream goes before the output it delivers to.
struct RunningCapture {
  std::unique_ptr<FrameOutput> output;
  std::unique_ptr<CaptureStream> stream;
};

StreamConfiguration stream_configuration(CaptureSize size, std::int64_t frames_per_second);

// Chooses the first display, configures and starts its stream. The error is the line for
// standard error. `before_start` is shown the output once it exists, before any frame can
// reach it.
std::expected<RunningCapture, std::string> set_up_capture(
    CapturePlatform& platform, const StreamerOptions& options,
    const std::function<void(FrameOutput&)>& before_start = {});

}  // namespace morvane::streamer
