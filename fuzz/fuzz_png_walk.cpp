// The PNG header rules and the chunk walk: no input may crash them, the strict IHDR rule never
// accepts what the header check refuses, and the walk agrees with a plain reference walk
// written the slow, obvious way.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/clipboard_rich.h"
#include "system/image_buffer.h"

namespace {

using morvane::ByteView;

void require(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t be32(const std::uint8_t* p) {
  return (std::uint64_t{p[0]} << 24) | (std::uint64_t{p[1]} << 16) | (std::uint64_t{p[2]} << 8) | p[3];
}

bool letter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Collects every chunk first, then judges the sequence.
bool reference_walk(ByteView bytes) {
  struct Chunk {
    std::string type;
    std::uint64_t length;
    std::uint64_t offset;
  };
  if (bytes.size() < 9) return false;
  std::uint64_t at = 8;
  std::string sequence;  // one letter per chunk: H, D, E or o(ther)
  while (at < bytes.size()) {
    if (sequence.size() == 65'536) return false;
    if (at + 8 > bytes.size()) return false;
    const std::uint64_t length = be32(bytes.data() + at);
    if (at + 12 + length > bytes.size()) return false;
    const std::uint8_t* type = bytes.data() + at + 4;
    for (int i = 0; i < 4; ++i) {
      if (!letter(type[i])) return false;
    }
    if (type[2] >= 'a') return false;
    if (crc32(0, type, static_cast<uInt>(4 + length)) != be32(type + 4 + length)) return false;
    const std::string name(reinterpret_cast<const char*>(type), 4);
    if (name == "IHDR" && (at != 8 || length != 13)) return false;
    if (name == "IEND" && (length != 0 || at + 12 != bytes.size())) return false;
    sequence += name == "IHDR" ? 'H' : name == "IDAT" ? 'D' : name == "IEND" ? 'E' : 'o';
    at += 12 + length;
  }
  // H first, exactly once; one unbroken run of D; E last.
  if (sequence.empty() || sequence.front() != 'H' || sequence.back() != 'E') return false;
  if (sequence.find('H', 1) != std::string::npos) return false;
  const auto first_d = sequence.find('D');
  if (first_d == std::string::npos) return false;
  const auto last_d = sequence.rfind('D');
  return sequence.find_first_not_of('D', first_d) > last_d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvane;
  const ByteView bytes(data, size);

  const auto read_header = clipboard_rich::validate_png_header(bytes, false);
  const auto write_header = clipboard_rich::validate_png_header(bytes, true);
  require(read_header.has_value() == write_header.has_value());
  if (const auto strict = parse_png_dimensions(bytes)) {
    require(read_header && *read_header == *strict);
    require(std::uint64_t{strict->width} * strict->height <= MAX_PNG_PIXELS);
  }

  const bool walked = clipboard_image_io::has_complete_chunk_structure(bytes);
  require(walked == reference_walk(bytes));
  if (walked) {
    static constexpr std::uint8_t kIend[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    require(std::memcmp(data + size - sizeof kIend, kIend, sizeof kIend) == 0);
  }
  return 0;
}
