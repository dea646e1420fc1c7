#include "record_header.h"

namespace morvane::streamer {

namespace {

void put_big_endian(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::array<std::uint8_t, record_header_size> encode_record_header(std::uint32_t jpeg_length,
                                                                  std::uint32_t width,
                                                                  std::uint32_t height) {
  std::array<std::uint8_t, record_header_size> header{};
  put_big_endian(header.data(), jpeg_length);
  put_big_endian(header.data() + 4, width);
  put_big_endian(header.data() + 8, height);
  return header;
}

}  // namespace morvane::streamer
