#pragma once

// A PNG of RGBA noise: it hardly compresses, so the file is about as large as its pixels.
// IDAT in 1 MiB chunks, as encoders commonly split it.

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>

namespace morvane::bench {

inline void append_be32(std::string& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}

inline void append_chunk(std::string& png, const char* type, const std::string& data) {
  std::string chunk;
  chunk.append(type, 4);
  chunk += data;
  append_be32(png, static_cast<std::uint32_t>(data.size()));
  png += chunk;
  append_be32(png, static_cast<std::uint32_t>(
                       crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), chunk.size())));
}

inline std::string noisy_png(std::uint32_t width, std::uint32_t height) {
  std::string raw;
  raw.reserve(static_cast<std::size_t>(height) * (width * 4 + 1));
  std::mt19937 random(42);
  for (std::uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint32_t v = random();
      raw.append(reinterpret_cast<const char*>(&v), 4);
    }
  }
  uLongf size = compressBound(raw.size());
  std::string idat(size, '\0');
  compress2(reinterpret_cast<Bytef*>(idat.data()), &size,
            reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 1);
  idat.resize(size);
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string ihdr;
  append_be32(ihdr, width);
  append_be32(ihdr, height);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);
  append_chunk(png, "IHDR", ihdr);
  for (std::size_t at = 0; at < idat.size(); at += 1 << 20) {
    append_chunk(png, "IDAT", idat.substr(at, 1 << 20));
  }
  append_chunk(png, "IEND", "");
  return png;
}

}  // namespace morvane::bench
