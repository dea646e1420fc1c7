#include "input/clipboard/clipboard_image_io.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>

namespace morvane::clipboard_image_io {

namespace {

using platform::PasteboardPlatform;

constexpr std::size_t kSignatureBytes = 8;
// Length and type before the data, CRC after it.
constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::size_t kChunkCrcBytes = 4;
constexpr std::uint32_t kIhdrLength = 13;

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

bool is_ascii_letter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Third letter upper-case: the reserved bit every chunk of the current standard leaves clear.
bool valid_chunk_type(const std::uint8_t* type) {
  return is_ascii_letter(type[0]) && is_ascii_letter(type[1]) && is_ascii_letter(type[2]) &&
         is_ascii_letter(type[3]) && type[2] >= 'A' && type[2] <= 'Z';
}

bool type_is(const std::uint8_t* type, const char (&name)[5]) {
  return std::memcmp(type, name, 4) == 0;
}

// The CRC covers the type and the data, which lie next to each other: one crc32 call.
bool crc_matches(const std::uint8_t* type, std::uint32_t length) {
  const std::uint32_t stored = read_be32(type + 4 + length);
  return crc32_z(0, type, std::size_t{4} + length) == stored;
}

class ChunkWalk {
 public:
  explicit ChunkWalk(ByteView bytes) : bytes_(bytes) {}

  bool run() {
    if (bytes_.size() <= kSignatureBytes) return false;
    std::size_t position = kSignatureBytes;
    for (std::size_t chunks = 0; position < bytes_.size(); ++chunks) {
      if (chunks == kMaxPngChunks) return false;
      const auto step = step_chunk(position);
      if (step == Step::fail) return false;
      if (step == Step::end) return true;
    }
    return false;  // ran out of data without an IEND
  }

 private:
  enum class Step { next, end, fail };

  Step step_chunk(std::size_t& position) {
    const std::size_t left = bytes_.size() - position;
    if (left < kChunkHeaderBytes) return Step::fail;
    const std::uint8_t* start = bytes_.data() + position;
    const std::uint32_t length = read_be32(start);
    if (left - kChunkHeaderBytes < kChunkCrcBytes ||
        length > left - kChunkHeaderBytes - kChunkCrcBytes) {
      return Step::fail;
    }
    const std::uint8_t* type = start + 4;
    if (!valid_chunk_type(type) || !crc_matches(type, length)) return Step::fail;
    const std::size_t end = position + kChunkHeaderBytes + length + kChunkCrcBytes;
    const Step step = by_type(type, length, position, end);
    position = end;
    return step;
  }

  Step by_type(const std::uint8_t* type, std::uint32_t length, std::size_t position,
               std::size_t end) {
    if (type_is(type, "IHDR")) {
      if (position != kSignatureBytes || ihdr_seen_ || length != kIhdrLength) return Step::fail;
      ihdr_seen_ = true;
      return Step::next;
    }
    if (type_is(type, "IDAT")) {
      if (!ihdr_seen_ || idat_run_closed_) return Step::fail;
      idat_seen_ = true;
      return Step::next;
    }
    if (type_is(type, "IEND")) {
      const bool ends_data = end == bytes_.size();
      return length == 0 && ihdr_seen_ && idat_seen_ && ends_data ? Step::end : Step::fail;
    }
    if (idat_seen_) idat_run_closed_ = true;
    return Step::next;
  }

  ByteView bytes_;
  bool ihdr_seen_ = false;
  bool idat_seen_ = false;
  bool idat_run_closed_ = false;
};

bool source_is_one_complete_png(PasteboardPlatform& platform, platform::ImageSource source) {
  return platform.image_source_type(source) == platform::kPngTypeIdentifier &&
         platform.image_source_count(source) == 1 &&
         platform.image_source_status(source) == platform::kImageStatusComplete &&
         platform.image_source_status_at_index(source, 0) == platform::kImageStatusComplete;
}

}  // namespace

bool has_complete_chunk_structure(ByteView bytes) { return ChunkWalk(bytes).run(); }

bool is_complete_png(PasteboardPlatform& platform, ByteView bytes) {
  if (!has_complete_chunk_structure(bytes)) return false;
  // Borrows the caller's bytes: a PNG of up to 64 MiB is never copied for the decode. The walk
  // has checked every chunk's CRC; the decoder need not check them again.
  auto data = platform::own(platform, platform.data_create_borrowing_crc_checked_png(bytes));
  if (!data) return false;
  auto source = platform::own(platform, platform.image_source_create(data.get()));
  if (!source) return false;
  return source_is_one_complete_png(platform, source.get()) &&
         decodes_thumbnail(platform, source.get());
}

bool decodes_thumbnail(PasteboardPlatform& platform, platform::ImageSource source) {
  const platform::ThumbnailOptions options{
      .from_image_always = true, .max_pixel_size = 1, .cache_immediately = true};
  auto thumbnail = platform::own(platform, platform.image_source_thumbnail(source, 0, options));
  return static_cast<bool>(thumbnail);
}

}  // namespace morvane::clipboard_image_io
