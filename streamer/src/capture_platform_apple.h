#pragma once

// The capture platform on macOS.

#include <memory>

#include "capture_interfaces.h"

namespace morvane::streamer {

// ScreenCaptureKit's displays and streams and CoreImage's JPEG encoder; standard output and
// standard error as descriptors. Its calls wait for ScreenCaptureKit's completion handlers, so
// they run on a thread of their own, never on the main thread's event loop.
std::unique_ptr<CapturePlatform> make_screen_capture_platform();

}  // namespace morvane::streamer
