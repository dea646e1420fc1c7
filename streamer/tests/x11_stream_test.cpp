// The streamer as a program, capturing a private Xvfb screen.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "jpeg_encoder_linux.h"
#include "x11_test_support.h"

namespace morvane::streamer::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto record_wait = 10s;  // generous: sanitizer builds share two cores

struct Run {
  VirtualScreen screen;
  ChildProcess streamer;
};

VirtualScreen start_screen(int width = 1512, int height = 982) {
  auto screen = VirtualScreen::start(width, height);
  if (!screen) {
    ADD_FAILURE() << screen.error();
    std::abort();  // no screen, no test: never pass silently
  }
  return std::move(*screen);
}

ChildProcess start_streamer(const std::string& display, std::vector<std::string> options = {}) {
  options.insert(options.begin(), STREAMER_BIN);
  auto child = ChildProcess::spawn(options, display);
  if (!child) {
    ADD_FAILURE() << child.error();
    std::abort();
  }
  return std::move(*child);
}

// The first record, or a failure that shows why the streamer did not deliver one.
std::optional<Record> first_record(ChildProcess& streamer) {
  auto record = read_record(streamer, record_wait);
  if (!record) {
    const auto status = streamer.wait_exit(1s);
    ADD_FAILURE() << "no record; exit status " << (status ? std::to_string(*status) : "none")
                  << ", standard error: " << streamer.read_stderr();
  }
  return record;
}

void fill(const std::string& display, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  auto painter = ScreenPainter::connect(display);
  ASSERT_TRUE(painter.has_value()) << painter.error();
  painter->fill(r, g, b);
}

TEST(StreamerOnX11, WideScreenIsScaledToTheWidthLimit) {
  struct Case {
    std::vector<std::string> options;
    std::uint32_t width, height;
  };
  const Case cases[] = {{{}, 1024, 665}, {{"--width", "3000"}, 1512, 982}};
  VirtualScreen screen = start_screen();
  fill(screen.display(), 10, 120, 200);
  for (const auto& c : cases) {
    ChildProcess streamer = start_streamer(screen.display(), c.options);
    auto record = first_record(streamer);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->width, c.width);
    EXPECT_EQ(record->height, c.height);
    auto image = decode_jpeg(record->jpeg);
    ASSERT_TRUE(image.has_value()) << image.error();
    EXPECT_EQ(image->width, static_cast<int>(c.width));
    EXPECT_EQ(image->height, static_cast<int>(c.height));
  }
}

TEST(StreamerOnX11, ScreenColourIsKept) {
  VirtualScreen screen = start_screen(640, 480);
  fill(screen.display(), 200, 40, 90);
  ChildProcess streamer = start_streamer(screen.display());
  auto record = first_record(streamer);
  ASSERT_TRUE(record.has_value());
  auto image = decode_jpeg(record->jpeg);
  ASSERT_TRUE(image.has_value()) << image.error();
  const std::uint8_t expected[3] = {200, 40, 90};
  for (std::size_t at = 0; at < image->rgb.size(); at += 3 * 997) {
    for (int channel = 0; channel < 3; ++channel) {
      ASSERT_NEAR(image->rgb[at + channel], expected[channel], 6) << "pixel " << at / 3;
    }
  }
}

TEST(StreamerOnX11, StillScreenStopsAfterTheFirstRecord) {
  VirtualScreen screen = start_screen(640, 480);
  fill(screen.display(), 0, 0, 255);
  ChildProcess streamer = start_streamer(screen.display());
  ASSERT_TRUE(first_record(streamer).has_value());
  EXPECT_FALSE(streamer.stdout_readable(1500ms)) << "a record arrived for an unchanged screen";
  fill(screen.display(), 255, 0, 0);
  EXPECT_TRUE(read_record(streamer, record_wait).has_value()) << "a change gives a new record";
}

// Records are read one after another, each at 12 + N bytes after the previous one; a gap or an
// overlap would show as a bad size or undecodable data.
TEST(StreamerOnX11, ChangingScreenGivesBackToBackRecordsAtTheFrameRate) {
  VirtualScreen screen = start_screen();
  Flicker flicker(screen.display());
  ChildProcess streamer = start_streamer(screen.display(), {"--fps", "5"});
  ASSERT_TRUE(first_record(streamer).has_value());
  const auto begin = Clock::now();
  int records = 0;
  while (Clock::now() - begin < 3s) {
    auto record = read_record(streamer, 5s);
    ASSERT_TRUE(record.has_value()) << "after " << records << " records";
    ASSERT_EQ(record->width, 1024u);
    ASSERT_EQ(record->height, 665u);
    ASSERT_TRUE(decode_jpeg(record->jpeg).has_value()) << "record " << records;
    ++records;
  }
  // 3 s at 5 frames a second, with room for a slow machine but not for no limit.
  EXPECT_GE(records, 10);
  EXPECT_LE(records, 18);
}

TEST(StreamerOnX11, KilledServerStopsTheStreamer) {
  VirtualScreen screen = start_screen(640, 480);
  ChildProcess streamer = start_streamer(screen.display());
  ASSERT_TRUE(first_record(streamer).has_value());
  screen.kill();
  EXPECT_EQ(streamer.wait_exit(10s), 1);
  const std::string error = streamer.read_stderr();
  EXPECT_EQ(error.rfind("screen capture stopped: ", 0), 0u) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
  EXPECT_EQ(error.back(), '\n');
}

// A departed reader ends the streamer whether the screen changes, stays still, or is shrunk
// through RandR; a shrunk screen first gives records at its new size, under the width limit.
TEST(StreamerOnX11, ClosedReaderEndsTheStreamer) {
  struct Case {
    const char* name;
    bool changing;
    std::optional<std::pair<int, int>> shrunk_to;
  };
  const Case cases[] = {
      {"changing screen", true, std::nullopt},
      {"still screen", false, std::nullopt},
      {"changing screen shrunk by RandR", true, std::pair{800, 600}},
  };
  for (const auto& c : cases) {
    VirtualScreen screen = c.shrunk_to ? start_screen() : start_screen(640, 480);
    std::optional<Flicker> flicker;
    if (c.changing) flicker.emplace(screen.display());
    ChildProcess streamer =
        start_streamer(screen.display(), c.shrunk_to ? std::vector<std::string>{"--fps", "10"}
                                                     : std::vector<std::string>{});
    ASSERT_TRUE(first_record(streamer).has_value()) << c.name;
    if (c.shrunk_to) {
      auto painter = ScreenPainter::connect(screen.display());
      ASSERT_TRUE(painter.has_value()) << painter.error();
      const auto [width, height] = *c.shrunk_to;
      ASSERT_TRUE(painter->resize(width, height).has_value()) << c.name;
      std::optional<Record> resized = read_record(streamer, record_wait);
      while (resized && resized->width != static_cast<std::uint32_t>(width)) {
        resized = read_record(streamer, record_wait);
      }
      ASSERT_TRUE(resized.has_value()) << c.name << ": no record at the new size";
      EXPECT_EQ(resized->height, static_cast<std::uint32_t>(height)) << c.name;
      auto image = decode_jpeg(resized->jpeg);
      ASSERT_TRUE(image.has_value()) << image.error();
      EXPECT_EQ(image->width, width) << c.name;
      EXPECT_EQ(image->height, height) << c.name;
    }
    streamer.close_stdout();
    EXPECT_EQ(streamer.wait_exit(5s), 1) << c.name;
    EXPECT_EQ(streamer.read_stderr(), "frame output failed: Broken pipe\n") << c.name;
  }
}

TEST(StreamerOnX11, SetUpFailures) {
  struct Case {
    std::string display;
    std::string stderr_prefix;
  };
  const Case cases[] = {
      {"", "no display available\n"},
      {":65000", "screen capture failed: cannot open X display \":65000\""},
  };
  for (const auto& c : cases) {
    ChildProcess streamer = start_streamer(c.display);
    EXPECT_EQ(streamer.wait_exit(10s), 1) << c.display;
    std::uint8_t byte = 0;
    EXPECT_FALSE(streamer.read_exact(&byte, 1, Clock::now() + 1s)) << "output on " << c.display;
    const std::string error = streamer.read_stderr();
    EXPECT_EQ(error.rfind(c.stderr_prefix, 0), 0u) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
  }
}

TEST(TurboJpegQuality, MapsFractionsOntoOneToHundred) {
  const std::pair<double, int> cases[] = {{0.0, 1}, {0.004, 1}, {0.55, 55}, {0.555, 56},
                                          {0.999, 100}, {1.0, 100}};
  for (const auto& [quality, expected] : cases) EXPECT_EQ(turbojpeg_quality(quality), expected);
}

}  // namespace
}  // namespace morvane::streamer::testing
