#include "capture_size.h"

#include <gtest/gtest.h>

#include <array>

#include "record_header.h"

namespace morvane::streamer {
namespace {

TEST(CaptureSize, ScalesDownNeverUp) {
  struct Case {
    std::int64_t display_width, display_height, limit;
    CaptureSize expected;
  };
  const Case cases[] = {
      {1512, 982, 1024, {1024, 665}},  // 982 * 1024 / 1512 = 665.05
      {1512, 982, 3000, {1512, 982}},
      {1512, 982, 1512, {1512, 982}},
      {1512, 982, 1, {1, 1}},          // height rounds to 0 and is raised to 1
      {1000, 3, 500, {500, 2}},        // 1.5 rounds away from zero
      {0, 0, 1024, {1, 1}},            // a degenerate display still gives a usable size
  };
  for (const auto& c : cases) {
    EXPECT_EQ(capture_size(c.display_width, c.display_height, c.limit), c.expected)
        << c.display_width << "x" << c.display_height << " limit " << c.limit;
  }
}

TEST(RecordHeader, BigEndianLengthWidthHeight) {
  const std::array<std::uint8_t, 12> expected = {0x00, 0x00, 0xD4, 0x31, 0x00, 0x00,
                                                 0x04, 0x00, 0x00, 0x00, 0x02, 0x99};
  EXPECT_EQ(encode_record_header(54321, 1024, 665), expected);
  const std::array<std::uint8_t, 12> extremes = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0x80, 0, 0, 0};
  EXPECT_EQ(encode_record_header(0xFFFFFFFFu, 1, 0x80000000u), extremes);
}

}  // namespace
}  // namespace morvane::streamer
