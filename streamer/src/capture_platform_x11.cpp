#include "capture_platform_x11.h"

#include <cstdlib>

#include "capture_stream_x11.h"
#include "jpeg_encoder_linux.h"

namespace morvane::streamer {

std::expected<std::vector<Display>, std::string> X11CapturePlatform::shareable_displays() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return std::vector<Display>{};
  auto connection = XConnection::open(name);
  if (!connection) return std::unexpected(connection.error());
  const xcb_screen_t* screen = connection->first_screen();
  const Display display{0, screen->width_in_pixels, screen->height_in_pixels};
  connection_.emplace(std::move(*connection));
  return std::vector<Display>{display};
}

std::expected<std::unique_ptr<JpegEncoder>, std::string> X11CapturePlatform::make_jpeg_encoder() {
  auto encoder = TurboJpegEncoder::create();
  if (!encoder) return std::unexpected(encoder.error());
  return std::unique_ptr<JpegEncoder>(std::move(*encoder));
}

std::expected<std::unique_ptr<CaptureStream>, std::string> X11CapturePlatform::make_stream(
    const Display&, const StreamConfiguration& configuration, StreamOutput& delegate) {
  if (!connection_) return std::unexpected(std::string("no X display is open"));
  XConnection connection = std::move(*connection_);
  connection_.reset();
  return std::make_unique<X11CaptureStream>(std::move(connection), configuration, delegate);
}

}  // namespace morvane::streamer
