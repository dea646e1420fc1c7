#pragma once

// The capture platform on the X11 stand-in.

#include <optional>

#include "capture_interfaces.h"
#include "posix_output.h"
#include "x11_connection_x11.h"

namespace morvane::streamer {

// The X display named by DISPLAY stands in for the shareable content: its first screen is
// the only display; without DISPLAY there is none.
class X11CapturePlatform final : public CapturePlatform {
 public:
  std::expected<std::vector<Display>, std::string> shareable_displays() override;
  std::expected<std::unique_ptr<JpegEncoder>, std::string> make_jpeg_encoder() override;
  std::expected<std::unique_ptr<CaptureStream>, std::string> make_stream(
      const Display& display, const StreamConfiguration& configuration,
      StreamOutput& delegate) override;
  ByteSink& standard_output() override { return standard_output_; }
  ProcessEnd& process_end() override { return process_end_; }

 private:
  // Opened by the content query and handed to the stream.
  std::optional<XConnection> connection_;
  DescriptorSink standard_output_{1};
  StandardErrorExit process_end_;
};

}  // namespace morvane::streamer
