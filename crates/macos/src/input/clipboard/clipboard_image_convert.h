#pragma once

// Images that the pasteboard offers only in another type (TIFF, JPEG, HEIC, GIF, BMP), as many
// applications copy them: the first one present, converted to PNG by the platform and then
// held to every rule a PNG read from the pasteboard is held to.

#include <optional>

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard_content.h"
#include "response/adapter_error.h"
#include "wait/deadline.h"

namespace morvane::clipboard_image_convert {

// Looks for the types in the order of platform::kConvertedImageTypes and converts the first
// one present: image 0, upright, as PNG. nullopt when none is present. Budgets are checked
// before the step they protect: the encoded size before the source is made, the pixel count
// from the header before any decode, the produced PNG before it is copied. Data that cannot be
// decoded is an ACTION_FAILED naming its type; the pasteboard is never changed.
Result<std::optional<ImageContent>> read_converted_image(platform::PasteboardPlatform& platform,
                                                         platform::Pasteboard pasteboard,
                                                         const Deadline& deadline);

}  // namespace morvane::clipboard_image_convert
