#include "input/clipboard/sim/png_image_source_sim.h"

#include <spng.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

namespace morvane::sim {

namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::string_view kPngType = "public.png";
// Caps what the decoder may hold of ancillary chunks (text, ICC profiles) besides the rows.
constexpr std::size_t kChunkCacheLimit = 64u << 20;

struct SpngContextFree {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngContextFree>;

std::uint32_t read_u32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

bool has_png_signature(ByteView bytes) {
  return bytes.size() >= kPngSignature.size() &&
         std::equal(kPngSignature.begin(), kPngSignature.end(), bytes.begin());
}

// The frame count of an acTL chunk ahead of the image data, or 1 for a still image.
std::size_t frame_count(ByteView bytes) {
  std::size_t position = kPngSignature.size();
  while (bytes.size() - position >= 12) {
    const std::uint32_t length = read_u32(bytes.data() + position);
    const std::string_view type(reinterpret_cast<const char*>(bytes.data() + position + 4), 4);
    if (type == "IDAT" || type == "IEND") break;
    if (type == "acTL" && length == 8 && bytes.size() - position - 12 >= 8) {
      return read_u32(bytes.data() + position + 8);
    }
    if (bytes.size() - position - 12 < length) break;
    position += std::size_t{12} + length;
  }
  return 1;
}

SpngContext strict_decoder(ByteView bytes) {
  SpngContext context(spng_ctx_new(0));
  if (!context) return nullptr;
  // A bad CRC on any chunk, critical or ancillary, is an error rather than something to skip.
  if (spng_set_crc_action(context.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR) != 0 ||
      spng_set_chunk_limits(context.get(), kChunkCacheLimit, kChunkCacheLimit) != 0 ||
      spng_set_png_buffer(context.get(), bytes.data(), bytes.size()) != 0) {
    return nullptr;
  }
  return context;
}

bool decode_rows(spng_ctx* context) {
  std::size_t image_size = 0;
  spng_ihdr header{};
  if (spng_get_ihdr(context, &header) != 0 || header.height == 0 ||
      spng_decoded_image_size(context, SPNG_FMT_PNG, &image_size) != 0) {
    return false;
  }
  std::vector<std::uint8_t> row(image_size / header.height);
  if (spng_decode_image(context, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE) != 0) {
    return false;
  }
  int result = 0;
  do {
    result = spng_decode_row(context, row.data(), row.size());
  } while (result == 0);
  return result == SPNG_EOI;
}

}  // namespace

ImageSourceFacts inspect_image_data(ByteView bytes) {
  if (!has_png_signature(bytes)) return {};
  return ImageSourceFacts{std::string(kPngType), frame_count(bytes), 0};
}

bool decode_png_completely(ByteView bytes) {
  if (!has_png_signature(bytes)) return false;
  SpngContext context = strict_decoder(bytes);
  if (!context || !decode_rows(context.get())) return false;
  // The chunks after the image data, through IEND, with their CRCs.
  return spng_decode_chunks(context.get()) == 0;
}

}  // namespace morvane::sim
