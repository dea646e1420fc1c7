#pragma once

// The stand-in's ImageIO for images copied in other types: TIFF read by libtiff (every layout
// it reads; the first page), JPEG by libjpeg-turbo's TurboJPEG (with the EXIF orientation), and
// PNG written by libspng. Each library is opened when an image first needs it. HEIC, GIF and
// BMP are not read here.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "system/bytes.h"

namespace morvane::sim {

// How the decoded pixels lie in memory, 16-bit samples in the machine's byte order.
enum class PixelLayout {
  grey8,
  rgb8,
  rgbx8,  // a fourth byte that is not alpha
  rgba8,
  rgba8_premultiplied,
  cmyk8_inverted,  // as Adobe applications store CMYK in JPEG: 255 is no ink
  grey16,
  rgb16,
  rgba16,
  rgba16_premultiplied,
};

// What the header alone says: the stored size, the orientation (TIFF and EXIF, 1 to 8) and
// the bits per sample.
struct ImageHeader {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int orientation = 1;
  int depth = 8;
};

struct DecodedImage {
  std::uint32_t width = 0;  // as stored, before the orientation
  std::uint32_t height = 0;
  int orientation = 1;  // applied when the image is encoded
  PixelLayout layout = PixelLayout::rgb8;
  std::size_t row_bytes = 0;
  std::unique_ptr<std::uint8_t[]> pixels;
};

struct EncodedPng {
  std::shared_ptr<const void> keep;  // the encoder's buffer
  ByteView bytes;
};

// "public.tiff" or "public.jpeg" by the data's signature; empty for anything else.
std::string converted_image_type(ByteView bytes);

// The header of image 0, without decoding pixels; nullopt when it cannot be read.
std::optional<ImageHeader> read_image_header(ByteView bytes);

// Image 0, whole; nullopt when any part of it cannot be decoded (truncated data included).
std::optional<DecodedImage> decode_image(ByteView bytes);

// The image upright, as PNG: 16-bit samples stay 16-bit, alpha is kept (unpremultiplied), CMYK
// and grey-with-palette layouts arrive here already as RGB.
std::optional<EncodedPng> encode_png(const DecodedImage& image);

// The orientation (1 to 8) the first EXIF block of a JPEG gives; 1 when there is none.
int jpeg_exif_orientation(ByteView jpeg);

}  // namespace morvane::sim
