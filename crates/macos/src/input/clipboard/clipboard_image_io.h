#pragma once

// PNG chunk structure checks and the platform decode that proves an image is whole.

#include <cstddef>

#include "input/clipboard/pasteboard_platform.h"
#include "system/bytes.h"

namespace morvane::clipboard_image_io {

// Most chunks a PNG may have, IHDR and IEND included.
inline constexpr std::size_t kMaxPngChunks = 65'536;

// The chunk walk alone: every chunk inside the data with a valid type and CRC, IHDR first and
// once, one unbroken run of IDAT chunks, and an empty IEND that ends the data exactly. The
// first 8 bytes are not examined; callers check the signature themselves.
bool has_complete_chunk_structure(ByteView bytes);

// The walk, then a full decode by the platform's image source (borrowing the bytes). Raises no
// error and ignores any deadline.
bool is_complete_png(platform::PasteboardPlatform& platform, ByteView bytes);

// Decodes the whole of image 0 into a one-pixel thumbnail; true when an image comes back.
bool decodes_thumbnail(platform::PasteboardPlatform& platform, platform::ImageSource source);

}  // namespace morvane::clipboard_image_io
