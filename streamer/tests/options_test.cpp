#include "options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace morvane::streamer {
namespace {

StreamerOptions parse(std::vector<std::string_view> rest) {
  rest.insert(rest.begin(), "frame_streamer");
  return parse_streamer_options(rest);
}

TEST(StreamerOptions, DefaultsWithoutOptions) {
  const StreamerOptions options = parse({});
  EXPECT_EQ(options.maximum_width, 1024);
  EXPECT_DOUBLE_EQ(options.quality, 0.55);
  EXPECT_EQ(options.frames_per_second, 30);
}

struct WidthCase {
  std::vector<std::string_view> args;
  std::int64_t width;
};

TEST(StreamerOptions, Width) {
  const std::vector<WidthCase> cases = {
      {{"--width"}, 1024},                     // nothing follows
      {{"--width=800"}, 1024},                 // joined form is not recognised
      {{"--width", "abc"}, 1024},
      {{"--width", "0"}, 1},
      {{"--width", "-5"}, 1},
      {{"--width", "640", "--width", "800"}, 640},  // the first occurrence wins
      {{"--width", "+800"}, 800},
      {{"--width", " 800"}, 1024},
      {{"--width", "800.0"}, 1024},
      {{"--width", "9223372036854775808"}, 1024},  // overflow
      {{"--width", "--fps", "10"}, 1024},          // the next element is taken as the value
      {{"--other", "x", "--width", "2000"}, 2000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse(c.args).maximum_width, c.width) << c.args.size() << " args, last " << c.args.back();
  }
}

TEST(StreamerOptions, ProgramNameIsSearchedToo) {
  const std::vector<std::string_view> args = {"--width", "300"};
  EXPECT_EQ(parse_streamer_options(args).maximum_width, 300);
}

TEST(StreamerOptions, Quality) {
  const std::vector<std::pair<std::string_view, double>> cases = {
      {"7", 1.0},       {"-1", 0.0},       {"nan", 0.0},    {"-nan", 0.0},
      {"inf", 1.0},     {"-inf", 0.0},     {"abc", 0.55},   {" 0.5", 0.55},
      {"\t0.5", 0.55},  {"0x1p-1", 0.5},   {"0X.8", 0.5},   {"0.25", 0.25},
      {"2.5e-1", 0.25}, {"+0.75", 0.75},   {"0.5x", 0.55},  {"", 0.55},
      {"1e999", 1.0},   {"0.5 ", 0.55},    {"INFINITY", 1.0},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_DOUBLE_EQ(parse({"--quality", text}).quality, expected) << '"' << text << '"';
  }
}

TEST(StreamerOptions, QualityWithEmbeddedNulDoesNotParse) {
  const std::string text("0.5\0" "9", 5);
  EXPECT_DOUBLE_EQ(parse({"--quality", text}).quality, 0.55);
}

TEST(StreamerOptions, FramesPerSecond) {
  const std::vector<std::pair<std::string_view, std::int64_t>> cases = {
      {"0", 1}, {"-3", 1}, {"2.5", 30}, {"60", 60}, {"", 30}, {"5x", 30},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse({"--fps", text}).frames_per_second, expected) << '"' << text << '"';
  }
}

TEST(ParseInteger, Limits) {
  EXPECT_EQ(parse_integer("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parse_integer("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (std::string_view bad : {"", "+", "-", "+-5", "-+5", "--5", "5 ", "0x10", "1e3"}) {
    EXPECT_FALSE(parse_integer(bad).has_value()) << '"' << bad << '"';
  }
}

}  // namespace
}  // namespace morvane::streamer
