// frame_streamer on X11: the set-up runs on its own thread while the main thread only waits,
// as the main thread of the platform's event loop would; the process ends through exit.

#include <unistd.h>

#include <csignal>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "capture_platform_x11.h"
#include "capture_setup.h"
#include "options.h"

using namespace morvane::streamer;

int main(int argc, char** argv) {
  // A reader that went away must show up as a failed write, not kill the process unannounced.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> args(argv, argv + argc);
  const StreamerOptions options = parse_streamer_options(args);

  X11CapturePlatform platform;
  std::optional<RunningCapture> running;
  std::thread set_up([&] {
    auto capture = set_up_capture(platform, options);
    if (!capture) {
      platform.process_end().fail(capture.error());
      return;
    }
    running = std::move(*capture);
  });
  for (;;) pause();
}
