#pragma once

// The 12-byte header in front of each JPEG record.

#include <array>
#include <cstdint>

namespace morvane::streamer {

inline constexpr std::size_t record_header_size = 12;

// JPEG byte count, width and height, each unsigned 32-bit big-endian.
std::array<std::uint8_t, record_header_size> encode_record_header(std::uint32_t jpeg_length,
                                                                  std::uint32_t width,
                                                                  std::uint32_t height);

}  // namespace morvane::streamer
