#pragma once

// Builds PNG files chunk by chunk for tests: real CRCs and a real zlib stream, so that any
// rule a test breaks is the only thing wrong with the file.

#include <zlib.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "system/bytes.h"

namespace morvane::testing {

inline void append_be32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline Bytes png_chunk(std::string_view type, const Bytes& data = {}) {
  Bytes out;
  append_be32(out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  const auto crc = crc32_z(0, out.data() + 4, out.size() - 4);
  append_be32(out, static_cast<std::uint32_t>(crc));
  return out;
}

struct IhdrFields {
  std::uint32_t width = 1;
  std::uint32_t height = 1;
  std::uint8_t depth = 8;
  std::uint8_t colour = 0;
  std::uint8_t compression = 0;
  std::uint8_t filter = 0;
  std::uint8_t interlace = 0;
};

inline Bytes ihdr_chunk(const IhdrFields& f = {}) {
  Bytes data;
  append_be32(data, f.width);
  append_be32(data, f.height);
  data.insert(data.end(), {f.depth, f.colour, f.compression, f.filter, f.interlace});
  return png_chunk("IHDR", data);
}

// A zlib stream of a 1x1 8-bit greyscale image: filter byte 0, then the pixel.
inline Bytes one_pixel_idat_data() {
  const std::uint8_t raw[] = {0, 0x80};
  Bytes out(compressBound(sizeof raw));
  uLongf size = out.size();
  compress(out.data(), &size, raw, sizeof raw);
  out.resize(size);
  return out;
}

inline Bytes png_signature() { return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }

inline Bytes png_from(const std::vector<Bytes>& chunks) {
  Bytes out = png_signature();
  for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  return out;
}

// A complete, decodable 1x1 PNG.
inline Bytes minimal_png(const IhdrFields& fields = {}) {
  return png_from({ihdr_chunk(fields), png_chunk("IDAT", one_pixel_idat_data()), png_chunk("IEND")});
}

}  // namespace morvane::testing
