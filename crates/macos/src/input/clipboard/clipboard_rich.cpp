#include "input/clipboard/clipboard_rich.h"

#include <array>
#include <cstring>

#include "input/clipboard/clipboard_image_io.h"

namespace morvane::clipboard_rich {

namespace {

using platform::PasteboardPlatform;

constexpr std::size_t kHeaderBytes = 24;
constexpr std::array<std::uint8_t, 16> kSignatureAndIhdr = {
    0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};

constexpr const char* kMissingHeader = "Clipboard image is missing a valid PNG header";

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

AdapterError read_error(const char* message) {
  return AdapterError::make(ErrorCode::ACTION_FAILED, message);
}

AdapterError header_error(bool for_write) {
  return AdapterError::make(for_write ? ErrorCode::INVALID_ARGS : ErrorCode::ACTION_FAILED,
                            kMissingHeader);
}

AdapterError budget_error(bool for_write) {
  if (for_write) {
    return AdapterError::make(ErrorCode::INVALID_ARGS, "Image exceeds the decoded-image budget");
  }
  return read_error("Clipboard image exceeds the decoded-image budget");
}

// The three checks on the owned copy; the header's dimensions are the ones reported.
Result<PngDimensions> validate_copy(PasteboardPlatform& platform, ByteView png) {
  auto header = validate_png_header(png, false);
  if (!header) return fail(std::move(header.error()));
  const auto parsed = parse_png_dimensions(png);
  if (!parsed) return fail(read_error("Clipboard PNG payload failed complete validation"));
  if (*parsed != *header || !clipboard_image_io::is_complete_png(platform, png)) {
    return fail(read_error("Clipboard PNG failed platform validation"));
  }
  return *header;
}

// Size, pointer and header checks on the platform's own bytes, before anything is copied.
Result<ByteView> platform_png_bytes(PasteboardPlatform& platform, platform::Data data) {
  const std::size_t length = platform.data_length(data);
  if (length > kMaxEncodedPngBytes) {
    return fail(read_error("Clipboard image exceeds the 64 MiB encoded-data budget"));
  }
  if (length == 0) return fail(read_error(kMissingHeader));
  const std::uint8_t* bytes = platform.data_bytes(data);
  if (bytes == nullptr) return fail(read_error("NSData returned null bytes"));
  const ByteView view(bytes, length);
  if (auto header = validate_png_header(view, false); !header) {
    return fail(std::move(header.error()));
  }
  return view;
}

Result<ImageContent> copy_and_validate(PasteboardPlatform& platform, platform::Data data,
                                       const Deadline& deadline) {
  auto view = platform_png_bytes(platform, data);
  if (!view) return fail(std::move(view.error()));
  Bytes png(view->begin(), view->end());
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  auto dimensions = validate_copy(platform, png);
  if (!dimensions) return fail(std::move(dimensions.error()));
  return image_from_pasteboard(std::move(png), dimensions->width, dimensions->height);
}

}  // namespace

Result<PngDimensions> validate_png_header(ByteView bytes, bool for_write) {
  if (bytes.size() < kHeaderBytes ||
      std::memcmp(bytes.data(), kSignatureAndIhdr.data(), kSignatureAndIhdr.size()) != 0) {
    return fail(header_error(for_write));
  }
  const std::uint32_t width = read_be32(bytes.data() + 16);
  const std::uint32_t height = read_be32(bytes.data() + 20);
  if (width == 0 || height == 0 || std::uint64_t{width} * height > MAX_PNG_PIXELS) {
    return fail(budget_error(for_write));
  }
  return PngDimensions{width, height};
}

Result<std::optional<ImageContent>> read_image(PasteboardPlatform& platform,
                                               platform::Pasteboard pasteboard,
                                               const Deadline& deadline) {
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  platform::Data data = platform.data_for_type(pasteboard, platform::PasteboardType::png);
  std::optional<ImageContent> image;
  if (data != nullptr) {
    if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
    auto read = copy_and_validate(platform, data, deadline);
    if (!read) return fail(std::move(read.error()));
    image = std::move(*read);
  }
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  return image;
}

}  // namespace morvane::clipboard_rich
