#include "system/image_buffer.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

Bytes png_header(std::uint32_t width, std::uint32_t height, std::uint8_t depth = 8,
                 std::uint8_t colour = 6, std::uint8_t compression = 0, std::uint8_t filter = 0,
                 std::uint8_t interlace = 0, std::uint32_t ihdr_length = 13) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto be32 = [&](std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  };
  be32(ihdr_length);
  b.insert(b.end(), {'I', 'H', 'D', 'R'});
  be32(width);
  be32(height);
  b.insert(b.end(), {depth, colour, compression, filter, interlace});
  be32(0);  // CRC, not examined here
  return b;
}

TEST(ParsePngDimensionsTest, HeaderRules) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool accepted;
  };
  Bytes short_header = png_header(3, 4);
  short_header.pop_back();
  Bytes bad_signature = png_header(3, 4);
  bad_signature[1] = 'p';
  Bytes bad_type = png_header(3, 4);
  bad_type[12] = 'i';
  const Case cases[] = {
      {"33 bytes", png_header(3, 4), true},
      {"32 bytes", short_header, false},
      {"signature", bad_signature, false},
      {"chunk type", bad_type, false},
      {"IHDR length 14", png_header(3, 4, 8, 6, 0, 0, 0, 14), false},
      {"8192 x 8192", png_header(8192, 8192), true},
      {"8193 x 8192", png_header(8193, 8192), false},
      {"width 0", png_header(0, 4), false},
      {"height 0", png_header(4, 0), false},
      {"type 3 depth 16", png_header(1, 1, 16, 3), false},
      {"type 2 depth 4", png_header(1, 1, 4, 2), false},
      {"type 0 depth 3", png_header(1, 1, 3, 0), false},
      {"type 0 depth 16", png_header(1, 1, 16, 0), true},
      {"type 3 depth 1", png_header(1, 1, 1, 3), true},
      {"type 5", png_header(1, 1, 8, 5), false},
      {"interlace 1", png_header(1, 1, 8, 6, 0, 0, 1), true},
      {"interlace 2", png_header(1, 1, 8, 6, 0, 0, 2), false},
      {"compression 1", png_header(1, 1, 8, 6, 1), false},
      {"filter 1", png_header(1, 1, 8, 6, 0, 1), false},
      {"4 GiB wide", png_header(0xFFFFFFFF, 1), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_png_dimensions(c.bytes).has_value(), c.accepted) << c.name;
  }
  EXPECT_EQ(parse_png_dimensions(png_header(1512, 982)), (PngDimensions{1512, 982}));
  Bytes with_tail = png_header(7, 9);
  with_tail.resize(1000, 0xAB);
  EXPECT_EQ(parse_png_dimensions(with_tail), (PngDimensions{7, 9}));
}

}  // namespace
}  // namespace morvane
