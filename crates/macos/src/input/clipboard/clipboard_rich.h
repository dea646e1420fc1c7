#pragma once

// Reading the pasteboard's PNG image, and the PNG header checks shared with writes.

#include <cstddef>
#include <optional>

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard_content.h"
#include "response/adapter_error.h"
#include "system/bytes.h"
#include "system/image_buffer.h"
#include "wait/deadline.h"

namespace morvane::clipboard_rich {

// Largest encoded PNG the clipboard accepts, inclusive.
inline constexpr std::size_t kMaxEncodedPngBytes = 67'108'864;

// Signature, a 13-byte IHDR first, and non-zero dimensions within MAX_PNG_PIXELS. The write path
// (for_write) reports its errors as INVALID_ARGS, reads as ACTION_FAILED.
Result<PngDimensions> validate_png_header(ByteView bytes, bool for_write);

// The pasteboard's PNG, copied out and accepted only when the header, parse_png_dimensions and
// the complete chunk walk with a platform decode all agree; nullopt when it offers none.
Result<std::optional<ImageContent>> read_image(platform::PasteboardPlatform& platform,
                                               platform::Pasteboard pasteboard,
                                               const Deadline& deadline);

}  // namespace morvane::clipboard_rich
