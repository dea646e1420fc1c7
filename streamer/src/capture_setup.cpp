#include "capture_setup.h"

#include <algorithm>
#include <limits>

namespace morvane::streamer {

namespace {

std::string capture_failed(const std::string& description) {
  return "screen capture failed: " + description;
}

}  // namespace

StreamConfiguration stream_configuration(CaptureSize size, std::int64_t frames_per_second) {
  StreamConfiguration configuration;
  configuration.size = size;
  // A media timescale is 32-bit; a faster rate than it can hold means no practical limit.
  configuration.minimum_frame_interval_timescale = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(frames_per_second, 1, std::numeric_limits<std::int32_t>::max()));
  return configuration;
}

std::expected<RunningCapture, std::string> set_up_capture(
    CapturePlatform& platform, const StreamerOptions& options,
    const std::function<void(FrameOutput&)>& before_start) {
  auto displays = platform.shareable_displays();
  if (!displays) return std::unexpected(capture_failed(displays.error()));
  if (displays->empty()) return std::unexpected(std::string("no display available"));
  const Display display = displays->front();

  const CaptureSize size = capture_size(display.width, display.height, options.maximum_width);
  StreamConfiguration configuration = stream_configuration(size, options.frames_per_second);
  configuration.maximum_width = options.maximum_width;

  auto encoder = platform.make_jpeg_encoder();
  if (!encoder) return std::unexpected(capture_failed(encoder.error()));
  RunningCapture running;
  running.output = std::make_unique<FrameOutput>(size, options.quality, std::move(*encoder),
                                                 platform.standard_output(),
                                                 platform.process_end());
  if (before_start) before_start(*running.output);

  auto stream = platform.make_stream(display, configuration, *running.output);
  if (!stream) return std::unexpected(capture_failed(stream.error()));
  running.stream = std::move(*stream);
  if (auto added = running.stream->add_output(*running.output); !added) {
    return std::unexpected(capture_failed(added.error()));
  }
  if (auto started = running.stream->start(); !started) {
    return std::unexpected(capture_failed(started.error()));
  }
  return running;
}

}  // namespace morvane::streamer
