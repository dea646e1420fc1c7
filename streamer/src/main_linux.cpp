// frame_streamer on X11: the set-up runs on its own thread while the main thread only waits,
// as the main thread of the platform's event loop would; the process ends through _exit, or by
// a stop signal.

#include <unistd.h>

#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "build_info.h"
#include "capture_platform_x11.h"
#include "options.h"
#include "streamer_process.h"

using namespace morvane::streamer;

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv, argv + argc);
  if (asks_for_version(args)) return morvane::build_info::print_version("frame_streamer");
  const std::optional<std::string> launch_failure = prepare_process();
  X11CapturePlatform platform;
  if (launch_failure) platform.process_end().fail(*launch_failure);
  StopSignals& stops = StopSignals::install();

  const StreamerOptions options = parse_streamer_options(args);
  std::optional<RunningCapture> running;
  std::thread set_up([&] { run_capture_set_up(platform, options, running, &stops); });
  for (;;) pause();
}
