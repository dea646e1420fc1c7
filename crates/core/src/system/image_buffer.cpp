#include "system/image_buffer.h"

#include <array>
#include <cstring>

namespace morvane {

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::array<std::uint8_t, 8> kIhdrLengthAndType = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

bool bit_depth_allowed(std::uint8_t colour_type, std::uint8_t depth) {
  switch (colour_type) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6: return depth == 8 || depth == 16;
    default: return false;
  }
}

}  // namespace

std::optional<PngDimensions> parse_png_dimensions(ByteView bytes) {
  // Signature plus a whole IHDR chunk with its CRC.
  if (bytes.size() < 33) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  if (std::memcmp(p, kSignature.data(), kSignature.size()) != 0) return std::nullopt;
  if (std::memcmp(p + 8, kIhdrLengthAndType.data(), kIhdrLengthAndType.size()) != 0) {
    return std::nullopt;
  }
  const std::uint32_t width = read_be32(p + 16);
  const std::uint32_t height = read_be32(p + 20);
  if (width == 0 || height == 0) return std::nullopt;
  if (!bit_depth_allowed(p[25], p[24])) return std::nullopt;
  if (std::uint64_t{width} * height > MAX_PNG_PIXELS) return std::nullopt;
  if (p[26] != 0 || p[27] != 0) return std::nullopt;
  if (p[28] > 1) return std::nullopt;
  return PngDimensions{width, height};
}

}  // namespace morvane
