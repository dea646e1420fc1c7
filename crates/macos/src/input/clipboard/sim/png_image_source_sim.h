#pragma once

// The stand-in's ImageIO image source for PNG data: what CGImageSourceGetType, GetCount and
// GetStatus report, and the thumbnail step as a real, complete decode. The bytes are borrowed,
// never copied.

#include <string>

#include "system/bytes.h"

namespace morvane::sim {

inline constexpr int kImageStatusUnknownType = -3;  // kCGImageStatusUnknownType

struct ImageSourceFacts {
  std::string type;        // "public.png", or empty when no type can be determined
  std::size_t count = 0;   // 1, or the acTL frame count of an animated PNG
  int status = kImageStatusUnknownType;
};

// Looks only at the signature and the chunks ahead of the image data.
ImageSourceFacts inspect_image_data(ByteView bytes);

// Decodes every row of the image, one row at a time into a one-row buffer, checking every
// chunk CRC and the zlib checksum and reading through IEND. True only when all of it succeeds.
// Text and suggested-palette chunks count against no limit of the decoder's: any number of
// them, of any size, as ImageIO accepts.
// `crcs_checked`: the caller has checked every chunk CRC of these very bytes, so the image
// data's are not checked a second time; the zlib checksum and all the rest still are.
bool decode_png_completely(ByteView bytes, bool crcs_checked = false);

}  // namespace morvane::sim
