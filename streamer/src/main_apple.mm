// frame_streamer on macOS (Objective-C++, automatic reference counting). The main thread runs
// only the application's event loop; the set-up runs as one task on a thread of its own, and
// frames then reach the portable FrameOutput on the stream's serial queue.
#import <AppKit/AppKit.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "build_info.h"
#include "capture_platform_apple.h"
#include "options.h"
#include "streamer_process.h"

#if !__has_feature(objc_arc)
#error "main_apple.mm is written for automatic reference counting"
#endif

using namespace morvane::streamer;

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv, argv + argc);
  if (asks_for_version(args)) return morvane::build_info::print_version("frame_streamer");
  const std::optional<std::string> launch_failure = prepare_process();
  // Both live as long as the process and are never destroyed: the stream's threads may
  // deliver to them at any time.
  CapturePlatform& platform = *make_screen_capture_platform().release();
  auto& running = *new std::optional<RunningCapture>();
  if (launch_failure) platform.process_end().fail(*launch_failure);
  StopSignals& stops = StopSignals::install();

  const StreamerOptions options = parse_streamer_options(args);
  @autoreleasepool {
    NSApplication* app = [NSApplication sharedApplication];
    [app setActivationPolicy:NSApplicationActivationPolicyProhibited];
    std::thread([&platform, &running, &stops, options] {
      @autoreleasepool {
        run_capture_set_up(platform, options, running, &stops);
      }
    }).detach();
    [app run];
  }
  return 1;
}
