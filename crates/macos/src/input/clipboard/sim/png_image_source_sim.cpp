#include "input/clipboard/sim/png_image_source_sim.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "input/clipboard/sim/shared_library_sim.h"

namespace morvane::sim {

namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::string_view kPngType = "public.png";
// Caps what the decoder may hold of the ancillary chunks it sees (ICC profile, EXIF) besides
// the rows.
constexpr std::size_t kChunkCacheLimit = 64u << 20;

// libspng, opened when the first image is decoded.
struct Spng {
  decltype(&spng_ctx_new) ctx_new;
  decltype(&spng_ctx_free) ctx_free;
  decltype(&spng_set_crc_action) set_crc_action;
  decltype(&spng_set_chunk_limits) set_chunk_limits;
  decltype(&spng_set_png_stream) set_png_stream;
  decltype(&spng_get_ihdr) get_ihdr;
  decltype(&spng_decoded_image_size) decoded_image_size;
  decltype(&spng_decode_image) decode_image;
  decltype(&spng_decode_row) decode_row;
  decltype(&spng_decode_chunks) decode_chunks;
};

const Spng& spng() {
  static const Spng api = [] {
    const SharedLibrary library(MORVANE_SPNG_SONAME);
#define MORVANE_SPNG_FUNCTION(name) library.function<decltype(&spng_##name)>("spng_" #name)
    return Spng{MORVANE_SPNG_FUNCTION(ctx_new),        MORVANE_SPNG_FUNCTION(ctx_free),
                MORVANE_SPNG_FUNCTION(set_crc_action), MORVANE_SPNG_FUNCTION(set_chunk_limits),
                MORVANE_SPNG_FUNCTION(set_png_stream), MORVANE_SPNG_FUNCTION(get_ihdr),
                MORVANE_SPNG_FUNCTION(decoded_image_size), MORVANE_SPNG_FUNCTION(decode_image),
                MORVANE_SPNG_FUNCTION(decode_row),     MORVANE_SPNG_FUNCTION(decode_chunks)};
#undef MORVANE_SPNG_FUNCTION
  }();
  return api;
}

struct SpngContextFree {
  void operator()(spng_ctx* context) const { spng().ctx_free(context); }
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

// Text and suggested-palette chunks play no part in the pixels, but the decoder keeps each in
// memory and refuses a file with more than 1000 of them, or with more text than its cache
// limit, and its count limit cannot be raised. ImageIO decodes such files, so the decoder never
// sees these chunks: they are checked here instead, whole and with their CRCs, and left out.
bool left_out(std::string_view type) {
  return type == "tEXt" || type == "zTXt" || type == "iTXt" || type == "sPLT";
}

// The PNG as the decoder reads it: the bytes as they are, less the chunks left out. Borrows
// the bytes.
class ChunkFilter {
 public:
  explicit ChunkFilter(ByteView bytes) : bytes_(bytes) {}

  // The decoder's read callback (spng_rw_fn): exactly `length` bytes, or an error.
  static int read(spng_ctx*, void* user, void* destination, std::size_t length) {
    return static_cast<ChunkFilter*>(user)->fill(static_cast<std::uint8_t*>(destination), length);
  }

 private:
  int fill(std::uint8_t* out, std::size_t length) {
    while (length > 0) {
      if (position_ == served_until_ && !next_chunk()) return SPNG_IO_ERROR;
      const std::size_t n = std::min(length, served_until_ - position_);
      if (n == 0) return SPNG_IO_EOF;
      std::copy_n(bytes_.data() + position_, n, out);
      position_ += n;
      out += n;
      length -= n;
    }
    return 0;
  }

  // At a chunk boundary: passes over the chunks left out, failing on a bad CRC, and marks how
  // far the next chunk goes. A chunk that runs past the end is served as far as it goes.
  bool next_chunk() {
    while (bytes_.size() - position_ >= 12) {
      const std::uint32_t length = read_u32(bytes_.data() + position_);
      const std::size_t chunk_size = std::size_t{12} + length;
      const std::string_view type(reinterpret_cast<const char*>(bytes_.data() + position_ + 4), 4);
      if (chunk_size > bytes_.size() - position_) break;
      if (!left_out(type)) {
        served_until_ = position_ + chunk_size;
        return true;
      }
      const ByteView checked = bytes_.subspan(position_ + 4, std::size_t{4} + length);
      const auto crc = static_cast<std::uint32_t>(crc32_z(0, checked.data(), checked.size()));
      if (crc != read_u32(bytes_.data() + position_ + 8 + length)) return false;
      position_ += chunk_size;
    }
    served_until_ = bytes_.size();
    return true;
  }

  ByteView bytes_;
  std::size_t position_ = 0;
  std::size_t served_until_ = kPngSignature.size();
};

// Always through the filter, even with nothing to leave out: the decoder's own in-memory
// source measured no faster, the filter's copies being of chunks still in cache.
SpngContext strict_decoder(ChunkFilter& filter) {
  SpngContext context(spng().ctx_new(0));
  if (!context) return nullptr;
  // A bad CRC on any chunk, critical or ancillary, is an error rather than something to skip.
  if (spng().set_crc_action(context.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR) != 0 ||
      spng().set_chunk_limits(context.get(), kChunkCacheLimit, kChunkCacheLimit) != 0 ||
      spng().set_png_stream(context.get(), &ChunkFilter::read, &filter) != 0) {
    return nullptr;
  }
  return context;
}

bool decode_rows(spng_ctx* context, bool crcs_checked) {
  std::size_t image_size = 0;
  spng_ihdr header{};
  if (spng().get_ihdr(context, &header) != 0 || header.height == 0 ||
      spng().decoded_image_size(context, SPNG_FMT_PNG, &image_size) != 0) {
    return false;
  }
  std::vector<std::uint8_t> row(image_size / header.height);
  if (spng().decode_image(context, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE) != 0) {
    return false;
  }
  // The decoder has read the chunks before the image data and set up its inflate stream with
  // the zlib checksum on: CRCs left unchecked from here on (the decoder's switch for that also
  // turns the zlib checksum off, but only for streams set up after it) are those of the image
  // data and the chunks after it.
  if (crcs_checked && spng().set_crc_action(context, SPNG_CRC_USE, SPNG_CRC_USE) != 0) {
    return false;
  }
  int result = 0;
  do {
    result = spng().decode_row(context, row.data(), row.size());
  } while (result == 0);
  return result == SPNG_EOI;
}

}  // namespace

ImageSourceFacts inspect_image_data(ByteView bytes) {
  if (!has_png_signature(bytes)) return {};
  return ImageSourceFacts{std::string(kPngType), frame_count(bytes), 0};
}

bool decode_png_completely(ByteView bytes, bool crcs_checked) {
  if (!has_png_signature(bytes)) return false;
  ChunkFilter filter(bytes);
  SpngContext context = strict_decoder(filter);
  if (!context || !decode_rows(context.get(), crcs_checked)) return false;
  // The chunks after the image data, through IEND, with their CRCs.
  return spng().decode_chunks(context.get()) == 0;
}

}  // namespace morvane::sim
