#pragma once

// A ScreenCaptureKit sample buffer as the portable frame output takes it (plain C++ against
// CoreMedia and CoreFoundation).

#include <cstdint>

#include "capture_interfaces.h"
#include "streamer_apple_declarations.h"

namespace morvane::streamer {

// `output_type` is the stream's output type as it came; `status_key` is ScreenCaptureKit's
// frame status attachment key. The sample borrows from `buffer`: valid during the callback.
Sample sample_of(CMSampleBufferRef buffer, std::int64_t output_type, CFStringRef status_key);

}  // namespace morvane::streamer
