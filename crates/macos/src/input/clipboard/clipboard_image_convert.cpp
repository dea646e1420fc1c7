#include "input/clipboard/clipboard_image_convert.h"

#include <algorithm>
#include <string>

#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/clipboard_rich.h"

namespace morvane::clipboard_image_convert {

namespace {

using platform::ImageType;
using platform::PasteboardPlatform;

AdapterError read_error(const std::string& message) {
  return AdapterError::make(ErrorCode::ACTION_FAILED, message);
}

AdapterError not_converted(ImageType type) {
  return read_error("Clipboard image (" + std::string(platform::image_type_identifier(type)) +
                    ") could not be converted to PNG");
}

AdapterError encoded_budget_error() {
  return read_error("Clipboard image exceeds the 64 MiB encoded-data budget");
}

AdapterError pixel_budget_error() {
  return read_error("Clipboard image exceeds the decoded-image budget");
}

// The size a person sees: orientations 5 to 8 turn the image a quarter, swapping its sides.
Result<PngDimensions> upright_dimensions(const platform::ImageProperties& properties,
                                         ImageType type) {
  if (!properties.width || !properties.height || *properties.width < 0 || *properties.height < 0 ||
      properties.orientation < 1 || properties.orientation > 8) {
    return fail(not_converted(type));
  }
  const auto width = static_cast<std::uint64_t>(*properties.width);
  const auto height = static_cast<std::uint64_t>(*properties.height);
  // Each side within the budget first, so that the product cannot overflow.
  if (width == 0 || height == 0 || width > MAX_PNG_PIXELS || height > MAX_PNG_PIXELS ||
      width * height > MAX_PNG_PIXELS) {
    return fail(pixel_budget_error());
  }
  const bool quarter_turn = properties.orientation >= 5;
  return PngDimensions{static_cast<std::uint32_t>(quarter_turn ? height : width),
                       static_cast<std::uint32_t>(quarter_turn ? width : height)};
}

// The header's facts of a source whose data the platform can read as one complete image.
Result<PngDimensions> checked_source(PasteboardPlatform& platform, platform::ImageSource source,
                                     ImageType type) {
  if (platform.image_source_count(source) < 1 ||
      platform.image_source_status(source) != platform::kImageStatusComplete) {
    return fail(not_converted(type));
  }
  const auto properties = platform.image_source_properties(source, 0);
  if (!properties) return fail(not_converted(type));
  return upright_dimensions(*properties, type);
}

// The platform's PNG, held to the rules of a PNG read from the pasteboard (the chunk walk
// stands in for a second decode: the platform has just made these bytes from pixels), then
// copied out.
Result<ImageContent> copy_checked_png(PasteboardPlatform& platform, platform::Data data,
                                      PngDimensions expected, ImageType type) {
  const std::size_t length = platform.data_length(data);
  if (length > clipboard_rich::kMaxEncodedPngBytes) return fail(encoded_budget_error());
  const std::uint8_t* bytes = platform.data_bytes(data);
  if (bytes == nullptr || length == 0) return fail(not_converted(type));
  const ByteView png(bytes, length);
  const auto header = clipboard_rich::validate_png_header(png, false);
  const auto parsed = parse_png_dimensions(png);
  if (!header || !parsed || *parsed != *header || *header != expected ||
      !clipboard_image_io::has_complete_chunk_structure(png)) {
    return fail(not_converted(type));
  }
  return image_from_pasteboard(Bytes(png.begin(), png.end()), header->width, header->height);
}

// Decode, then encode; each platform object is released as soon as the next step has what it
// needs, so that at most the source, one decoded image and the PNG are held at once.
Result<ImageContent> convert(PasteboardPlatform& platform, platform::Data data, ImageType type,
                             const Deadline& deadline) {
  if (platform.data_length(data) > clipboard_rich::kMaxEncodedPngBytes) {
    return fail(encoded_budget_error());
  }
  auto source = platform::own(platform, platform.image_source_create(data));
  if (!source) return fail(not_converted(type));
  auto dimensions = checked_source(platform, source.get(), type);
  if (!dimensions) return fail(std::move(dimensions.error()));
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  const auto longer_side =
      static_cast<std::int32_t>(std::max(dimensions->width, dimensions->height));
  auto image =
      platform::own(platform, platform.image_source_upright_image(source.get(), 0, longer_side));
  source.reset();
  if (!image) return fail(not_converted(type));
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  auto png = platform::own(platform, platform.image_png_data(image.get()));
  image.reset();
  if (!png) return fail(not_converted(type));
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  return copy_checked_png(platform, png.get(), *dimensions, type);
}

}  // namespace

Result<std::optional<ImageContent>> read_converted_image(PasteboardPlatform& platform,
                                                         platform::Pasteboard pasteboard,
                                                         const Deadline& deadline) {
  for (const ImageType type : platform::kConvertedImageTypes) {
    if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
    const platform::Data data = platform.data_for_image_type(pasteboard, type);
    if (data == nullptr) continue;
    if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
    auto image = convert(platform, data, type, deadline);
    if (!image) return fail(std::move(image.error()));
    if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
    return std::optional<ImageContent>(std::move(*image));
  }
  return std::optional<ImageContent>();
}

}  // namespace morvane::clipboard_image_convert
