#pragma once

// The "validate:png" operation: is the request one complete, decodable PNG.

#include <span>
#include <string>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/pasteboard_platform.h"
#include "system/bytes.h"
#include "wait/deadline.h"

namespace morvane {

// {"kind":"none"} when the bytes are one complete PNG within the pixel budget that the platform
// also decodes. Touches neither the pasteboard nor an autorelease pool.
Outcome validate_png_on(platform::PasteboardPlatform& platform, ByteView png);

// The "validate:png" operation: the request payload through validate_png_on.
Outcome validate_png_operation(std::span<const std::string> arguments, const Deadline& deadline);

}  // namespace morvane
